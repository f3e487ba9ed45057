// Feeds arbitrary bytes to the manifest reader and validator: whatever
// passes must survive a write and a second read unchanged.

#include "model/manifest.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace vidorel;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Expected<SessionManifest, DecodingError> manifest = decodeManifest(bytes);
  if (!manifest)
    return 0;
  Expected<Session, ValidationError> session = manifest->makeSession("/fuzz/session", std::nullopt);
  if (!session)
    return 0;

  Expected<std::string, std::error_code> written = encodeManifest(SessionManifest(*session));
  if (!written)
    std::abort(); // a decoded session always has a stored form
  Expected<SessionManifest, DecodingError> again = decodeManifest(*written);
  if (!again)
    std::abort();
  Expected<Session, ValidationError> reread = again->makeSession("/fuzz/session", std::nullopt);
  if (!reread || !(*reread == *session))
    std::abort();
  Expected<std::string, std::error_code> rewritten = encodeManifest(*again);
  if (!rewritten || *rewritten != *written)
    std::abort();
  return 0;
}
