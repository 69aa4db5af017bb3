// The agent's error: what the engine and the bridge throw up to the
// scripts. `id` is kNotFound when a node lookup failed and kGeneral for
// every other error; what() gives the message, so a handler that knows only
// std::exception still says what went wrong.
#pragma once

#include <exception>
#include <string>

namespace tarvex {

class KestroveException : public std::exception {
 public:
  static constexpr int kGeneral = 500;
  static constexpr int kNotFound = 501;

  KestroveException(int id, std::string message) : id(id), message(std::move(message)) {}
  const char* what() const noexcept override { return message.c_str(); }

  int id;
  std::string message;
};

}  // namespace tarvex
