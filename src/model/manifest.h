#pragma once

#include "base/iso8601.h"
#include "base/uuid.h"
#include "model/expected.h"
#include "model/session.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vidorel {

// The first broken rule of a manifest; the message is shown to the user as
// it is.
struct ValidationError {
  std::string message;
  const std::string& description() const { return message; }
  bool operator==(const ValidationError&) const = default;
};

// Why the bytes of a manifest.json are not a manifest (bad JSON, a missing
// key, a value of the wrong type, an unreadable UUID or date).
struct DecodingError {
  std::string message;
  const std::string& description() const { return message; }
  bool operator==(const DecodingError&) const = default;
};

struct TakeManifest {
  Uuid id;
  std::string filename;
  double duration = 0;
  Timestamp recordedAt;
  std::optional<std::string> name;
  // Always written; older files may lack them.
  std::optional<double> trimStart;
  std::optional<double> trimEnd;

  bool operator==(const TakeManifest&) const = default;
};

struct SceneManifest {
  Uuid id;
  std::optional<std::string> name;
  std::vector<TakeManifest> takes;
  std::optional<Uuid> selectedTakeID;

  bool operator==(const SceneManifest&) const = default;
};

// The stored form of a session: what manifest.json holds.
struct SessionManifest {
  static constexpr std::int64_t currentSchemaVersion = 1;

  std::int64_t schemaVersion = currentSchemaVersion;
  Uuid sessionID;
  Timestamp createdAt;
  std::vector<SceneManifest> scenes;
  std::int64_t currentSceneIndex = 0;

  SessionManifest() = default;
  explicit SessionManifest(const Session& session);

  // The first failing check, in the fixed order; nothing when the manifest
  // describes a well-formed session.
  std::optional<ValidationError> validate() const;

  // Validates, then builds the session read from folderURL (its
  // scratchURL); isDirty is false.
  Expected<Session, ValidationError>
  makeSession(const std::filesystem::path& folderURL,
              const std::optional<std::filesystem::path>& bundleURL) const;

  bool operator==(const SessionManifest&) const = default;
};

// UTF-8 JSON, pretty-printed, keys sorted, absent optionals left out,
// numbers in their shortest exact form. Fails (ManifestEncodingError) when a
// number is not finite or a text is not valid UTF-8: JSON cannot carry
// either.
Expected<std::string, std::error_code> encodeManifest(const SessionManifest& manifest);

// Unknown keys are ignored; null optionals read as absent.
Expected<SessionManifest, DecodingError> decodeManifest(std::string_view bytes);

// numberNotFinite and textNotUtf8 come from encoding; wouldNotLoad is the
// store refusing to write bytes that its own load would reject.
enum class ManifestEncodingError { numberNotFinite = 1, textNotUtf8, wouldNotLoad };
const std::error_category& manifestEncodingCategory();
std::error_code make_error_code(ManifestEncodingError error);

// Seconds as the validation messages show them: the shortest form that
// reads back to the same value, with at least one digit after the point
// (3.0, 12.5, -1.0).
std::string formatSeconds(double seconds);

// "duration 0 is not a positive number of seconds" for a stored take
// length that is not a finite number above zero; nothing otherwise.
std::optional<std::string> durationProblem(double duration);

// A name that stays inside the folder it is looked up in: not empty, no
// "/" or NUL, not "." or "..".
bool isPlainFileName(std::string_view name);

} // namespace vidorel

template <> struct std::is_error_code_enum<vidorel::ManifestEncodingError> : std::true_type {};
