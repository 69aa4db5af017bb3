#include "ie/foundation/core/VelkException.h"

#include "text/Text.h"

namespace tarvex {

VelkException::VelkException(std::string_view source, int32_t id, std::string_view message)
    : source_(source), id_(id), message_(message), text_(ToString()) {}

VelkException::VelkException(const char* source, int32_t id, const char* message)
    : VelkException(std::string_view(source ? source : ""), id,
                    std::string_view(message ? message : "")) {}

std::string VelkException::ToString() const {
  return Format("TarvexException [source: %s, id: %d]: %s", source_, id_, message_);
}

}  // namespace tarvex
