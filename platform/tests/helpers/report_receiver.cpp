// Stands in for the crash-report program in the crash hook's tests: writes
// the arguments it was given, one a line, to "<its first argument>.received".
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string out = std::string(argv[1]) + ".received";
  const std::string temp = out + ".part";
  std::FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return 3;
  for (int i = 1; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
  std::fclose(f);
  return std::rename(temp.c_str(), out.c_str()) == 0 ? 0 : 4;
}
