#include "base/uuid.h"

#include <uuid/uuid.h>

namespace vidorel {

Uuid Uuid::random() {
  Uuid result;
  uuid_generate_random(result.bytes_.data());
  return result;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  // uuid_parse wants exactly 36 characters and a terminating NUL.
  if (text.size() != 36)
    return std::nullopt;
  std::string copy(text);
  Uuid result;
  if (uuid_parse(copy.c_str(), result.bytes_.data()) != 0)
    return std::nullopt;
  return result;
}

std::string Uuid::string() const {
  char text[37];
  uuid_unparse_upper(bytes_.data(), text);
  return text;
}

bool Uuid::isNil() const {
  return uuid_is_null(bytes_.data()) != 0;
}

} // namespace vidorel
