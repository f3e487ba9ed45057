#include "model/manifest.h"

#include "base/utf8.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <limits>
#include <set>

namespace vidorel {
namespace fs = std::filesystem;
using Json = nlohmann::json;

// ---------------------------------------------------------------------------
// Conversion from the model

SessionManifest::SessionManifest(const Session& session)
    : sessionID(session.id), createdAt(session.createdAt),
      currentSceneIndex(session.currentSceneIndex) {
  scenes.reserve(session.scenes.size());
  for (const RecordingScene& scene : session.scenes) {
    SceneManifest stored;
    stored.id = scene.id;
    stored.name = scene.name;
    stored.selectedTakeID = scene.selectedTakeID;
    stored.takes.reserve(scene.takes.size());
    for (const Take& take : scene.takes) {
      TakeManifest storedTake;
      storedTake.id = take.id;
      storedTake.filename = take.filename;
      storedTake.duration = take.duration;
      storedTake.recordedAt = take.recordedAt;
      storedTake.name = take.name;
      storedTake.trimStart = take.trimStart;
      storedTake.trimEnd = take.trimEnd;
      stored.takes.push_back(std::move(storedTake));
    }
    scenes.push_back(std::move(stored));
  }
}

// ---------------------------------------------------------------------------
// Numbers and names

namespace {

// Shortest digits that read back to the same double. Plain decimal for the
// magnitudes durations have; exponent form only for the very large and the
// very small, where plain digits would run to hundreds of characters.
std::string shortestNumber(double value, bool& hasPoint) {
  char buffer[64];
  double magnitude = std::fabs(value);
  bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
  std::to_chars_result result =
      plain ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
            : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string text(buffer, result.ptr);
  hasPoint = !plain || text.find('.') != std::string::npos;
  return text;
}

} // namespace

std::string formatSeconds(double seconds) {
  if (std::isnan(seconds))
    return "nan";
  if (std::isinf(seconds))
    return seconds < 0 ? "-inf" : "inf";
  bool hasPoint = false;
  std::string text = shortestNumber(seconds, hasPoint);
  if (!hasPoint)
    text += ".0";
  return text;
}

std::optional<std::string> durationProblem(double duration) {
  if (std::isfinite(duration) && duration > 0)
    return std::nullopt;
  bool hasPoint = false;
  std::string number =
      std::isfinite(duration) ? shortestNumber(duration, hasPoint) : formatSeconds(duration);
  return "duration " + number + " is not a positive number of seconds";
}

bool isPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..")
    return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// ---------------------------------------------------------------------------
// Validation

namespace {

std::string quoted(const std::string& filename) {
  return "\"" + filename + "\"";
}

std::optional<ValidationError> fail(std::string message) {
  return ValidationError{std::move(message)};
}

} // namespace

std::optional<ValidationError> SessionManifest::validate() const {
  if (schemaVersion != currentSchemaVersion)
    return fail("Unsupported schema version " + std::to_string(schemaVersion) + " (expected 1).");
  if (scenes.empty())
    return fail("Session has no scenes.");
  auto sceneCount = static_cast<std::int64_t>(scenes.size());
  if (currentSceneIndex < 0 || currentSceneIndex >= sceneCount)
    return fail("currentSceneIndex " + std::to_string(currentSceneIndex) +
                " is out of range (0..<" + std::to_string(sceneCount) + ").");
  std::set<Uuid> sceneIDs;
  for (const SceneManifest& scene : scenes)
    sceneIDs.insert(scene.id);
  if (sceneIDs.size() < scenes.size())
    return fail("Duplicate scene IDs found.");

  std::set<Uuid> takeIDsSeen;
  std::set<std::string> filenamesSeen;
  for (size_t sceneIndex = 0; sceneIndex < scenes.size(); ++sceneIndex) {
    const SceneManifest& scene = scenes[sceneIndex];
    std::string n = std::to_string(sceneIndex + 1);

    std::set<Uuid> idsInScene;
    for (const TakeManifest& take : scene.takes) {
      if (!idsInScene.insert(take.id).second)
        return fail("Scene " + n + " has duplicate take IDs.");
    }
    if (scene.selectedTakeID && !idsInScene.count(*scene.selectedTakeID))
      return fail("Scene " + n + " selectedTakeID " + scene.selectedTakeID->string() +
                  " does not match any take.");

    for (const TakeManifest& take : scene.takes) {
      if (!takeIDsSeen.insert(take.id).second)
        return fail("Take ID " + take.id.string() + " appears in multiple scenes.");
      if (!filenamesSeen.insert(take.filename).second)
        return fail("Filename " + quoted(take.filename) + " is used by multiple takes.");
      std::string name = quoted(take.filename);
      if (take.duration < 0)
        return fail("Take " + name + " has negative duration " + formatSeconds(take.duration) +
                    ".");
      if (take.filename.empty())
        return fail("A take in scene " + n + " has an empty filename.");
      if (!take.filename.ends_with(".mov"))
        return fail("Take " + name + " does not have a .mov extension.");
      // A name from a package decides which file a later delete or copy
      // touches: it must not reach outside the takes folder.
      if (!isPlainFileName(take.filename))
        return fail("Take " + name + " is not a plain file name.");
      // Zero (written before every save was validated) or a number JSON
      // cannot even hold: no range of such a take can be played.
      if (std::optional<std::string> problem = durationProblem(take.duration))
        return fail("Take " + name + " " + *problem + ".");
      if (take.trimStart && *take.trimStart < 0)
        return fail("Take " + name + " has negative trimStart " + formatSeconds(*take.trimStart) +
                    ".");
      if (take.trimEnd && *take.trimEnd > take.duration)
        return fail("Take " + name + " trimEnd " + formatSeconds(*take.trimEnd) +
                    " exceeds duration " + formatSeconds(take.duration) + ".");
      // The range is tested as the session will hold it, with an absent
      // bound standing for its default: a lone trimStart at or past the end
      // of the file would otherwise load as an empty range that the next
      // save writes out and the next load refuses.
      double start = take.trimStart.value_or(0);
      double end = take.trimEnd.value_or(take.duration);
      if (start >= end)
        return fail("Take " + name + " trimStart " + formatSeconds(start) + " >= trimEnd " +
                    formatSeconds(end) + ".");
    }
  }
  return std::nullopt;
}

Expected<Session, ValidationError>
SessionManifest::makeSession(const fs::path& folderURL,
                             const std::optional<fs::path>& bundleURL) const {
  if (std::optional<ValidationError> error = validate())
    return *error;
  Session session;
  session.id = sessionID;
  session.createdAt = createdAt;
  session.currentSceneIndex = static_cast<int>(currentSceneIndex);
  session.scratchURL = folderURL;
  session.bundleURL = bundleURL;
  session.isDirty = false;
  session.scenes.reserve(scenes.size());
  for (const SceneManifest& stored : scenes) {
    RecordingScene scene;
    scene.id = stored.id;
    scene.name = stored.name;
    scene.selectedTakeID = stored.selectedTakeID;
    scene.takes.reserve(stored.takes.size());
    for (const TakeManifest& storedTake : stored.takes) {
      Take take = Take::make(storedTake.id, storedTake.filename, storedTake.duration,
                             storedTake.recordedAt);
      take.name = storedTake.name;
      take.trimStart = storedTake.trimStart.value_or(0);
      take.trimEnd = storedTake.trimEnd.value_or(storedTake.duration);
      scene.takes.push_back(std::move(take));
    }
    session.scenes.push_back(std::move(scene));
  }
  return session;
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

class ManifestEncodingCategory final : public std::error_category {
public:
  const char* name() const noexcept override { return "manifest encoding"; }
  std::string message(int code) const override {
    switch (static_cast<ManifestEncodingError>(code)) {
    case ManifestEncodingError::numberNotFinite:
      return "The session holds a number that is not finite.";
    case ManifestEncodingError::textNotUtf8:
      return "The session holds a text that is not valid UTF-8.";
    case ManifestEncodingError::wouldNotLoad:
      return "The session breaks a rule of its manifest and was not saved.";
    }
    return "Unknown manifest encoding error.";
  }
};

// Writes the fixed shape of a manifest directly: the keys of every object
// are known, so they are simply emitted in sorted order.
class Writer {
public:
  std::string out;
  std::optional<ManifestEncodingError> failure;

  void string(std::string_view text) {
    if (!isValidUtf8(text)) {
      failure = ManifestEncodingError::textNotUtf8;
      return;
    }
    out += '"';
    for (char c : text) {
      switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          static constexpr char hex[] = "0123456789abcdef";
          out += "\\u00";
          out += hex[(c >> 4) & 0xF];
          out += hex[c & 0xF];
        } else {
          out += c;
        }
      }
    }
    out += '"';
  }

  void number(double value) {
    if (!std::isfinite(value)) {
      failure = ManifestEncodingError::numberNotFinite;
      return;
    }
    bool hasPoint = false;
    out += shortestNumber(value, hasPoint);
  }

  void integer(std::int64_t value) { out += std::to_string(value); }

  void indent(int level) { out.append(static_cast<size_t>(level) * 2, ' '); }

  // Starts the member "key": on a new line; the first member of an object
  // gets no comma.
  void key(int level, std::string_view name, bool& first) {
    out += first ? "\n" : ",\n";
    first = false;
    indent(level);
    out += '"';
    out += name;
    out += "\": ";
  }

  void close(int level, char bracket) {
    out += '\n';
    indent(level);
    out += bracket;
  }
};

void writeTake(Writer& w, const TakeManifest& take, int level) {
  bool first = true;
  w.out += '{';
  w.key(level + 1, "duration", first);
  w.number(take.duration);
  w.key(level + 1, "filename", first);
  w.string(take.filename);
  w.key(level + 1, "id", first);
  w.string(take.id.string());
  if (take.name) {
    w.key(level + 1, "name", first);
    w.string(*take.name);
  }
  w.key(level + 1, "recordedAt", first);
  w.string(formatIso8601(take.recordedAt));
  if (take.trimEnd) {
    w.key(level + 1, "trimEnd", first);
    w.number(*take.trimEnd);
  }
  if (take.trimStart) {
    w.key(level + 1, "trimStart", first);
    w.number(*take.trimStart);
  }
  w.close(level, '}');
}

void writeScene(Writer& w, const SceneManifest& scene, int level) {
  bool first = true;
  w.out += '{';
  w.key(level + 1, "id", first);
  w.string(scene.id.string());
  if (scene.name) {
    w.key(level + 1, "name", first);
    w.string(*scene.name);
  }
  if (scene.selectedTakeID) {
    w.key(level + 1, "selectedTakeID", first);
    w.string(scene.selectedTakeID->string());
  }
  w.key(level + 1, "takes", first);
  if (scene.takes.empty()) {
    w.out += "[]";
  } else {
    w.out += '[';
    for (size_t i = 0; i < scene.takes.size(); ++i) {
      w.out += i == 0 ? "\n" : ",\n";
      w.indent(level + 2);
      writeTake(w, scene.takes[i], level + 2);
    }
    w.close(level + 1, ']');
  }
  w.close(level, '}');
}

} // namespace

const std::error_category& manifestEncodingCategory() {
  static const ManifestEncodingCategory category;
  return category;
}

std::error_code make_error_code(ManifestEncodingError error) {
  return {static_cast<int>(error), manifestEncodingCategory()};
}

Expected<std::string, std::error_code> encodeManifest(const SessionManifest& manifest) {
  Writer w;
  w.out.reserve(512 + manifest.scenes.size() * 400);
  bool first = true;
  w.out += '{';
  w.key(1, "createdAt", first);
  w.string(formatIso8601(manifest.createdAt));
  w.key(1, "currentSceneIndex", first);
  w.integer(manifest.currentSceneIndex);
  w.key(1, "scenes", first);
  if (manifest.scenes.empty()) {
    w.out += "[]";
  } else {
    w.out += '[';
    for (size_t i = 0; i < manifest.scenes.size(); ++i) {
      w.out += i == 0 ? "\n" : ",\n";
      w.indent(2);
      writeScene(w, manifest.scenes[i], 2);
    }
    w.close(1, ']');
  }
  w.key(1, "schemaVersion", first);
  w.integer(manifest.schemaVersion);
  w.key(1, "sessionID", first);
  w.string(manifest.sessionID.string());
  w.close(0, '}');
  w.out += '\n';
  if (w.failure)
    return make_error_code(*w.failure);
  return std::move(w.out);
}

// ---------------------------------------------------------------------------
// Decoding

namespace {

// Reads one object of the manifest; the first problem met is kept in error
// and every later read fails at once.
class Reader {
public:
  std::optional<std::string> error;

  bool failWith(std::string message) {
    if (!error)
      error = std::move(message);
    return false;
  }

  static std::string where(const std::string& location) {
    return location.empty() ? "" : " in " + location;
  }

  // The member named key, or null when it is missing (an error only when
  // it is required).
  const Json* member(const Json& object, const char* key, const std::string& location,
                     bool required) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
      if (required)
        failWith("Missing key \"" + std::string(key) + "\"" + where(location) + ".");
      return nullptr;
    }
    return &*found;
  }

  bool wrongType(const char* key, const std::string& location, const char* expected) {
    return failWith("Key \"" + std::string(key) + "\"" + where(location) + " is not " + expected +
                    ".");
  }

  bool readString(const Json& value, const char* key, const std::string& location,
                  std::string& out) {
    if (!value.is_string())
      return wrongType(key, location, "a string");
    out = value.get_ref<const std::string&>();
    return true;
  }

  bool readInteger(const Json& value, const char* key, const std::string& location,
                   std::int64_t& out) {
    if (value.is_number_unsigned()) {
      auto number = value.get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return wrongType(key, location, "a 64-bit integer");
      out = static_cast<std::int64_t>(number);
      return true;
    }
    if (!value.is_number_integer())
      return wrongType(key, location, "an integer");
    out = value.get<std::int64_t>();
    return true;
  }

  bool readNumber(const Json& value, const char* key, const std::string& location, double& out) {
    if (!value.is_number())
      return wrongType(key, location, "a number");
    out = value.get<double>();
    // A literal too large for a double reads as infinity.
    if (!std::isfinite(out))
      return wrongType(key, location, "a representable number");
    return true;
  }

  bool readUuid(const Json& value, const char* key, const std::string& location, Uuid& out) {
    std::string text;
    if (!readString(value, key, location, text))
      return false;
    std::optional<Uuid> uuid = Uuid::parse(text);
    if (!uuid)
      return wrongType(key, location, "a valid UUID");
    out = *uuid;
    return true;
  }

  bool readDate(const Json& value, const char* key, const std::string& location, Timestamp& out) {
    std::string text;
    if (!readString(value, key, location, text))
      return false;
    std::optional<Timestamp> date = parseIso8601(text);
    if (!date)
      return wrongType(key, location, "an ISO 8601 date-time");
    out = *date;
    return true;
  }

  bool requireObject(const Json& value, const std::string& location) {
    if (!value.is_object())
      return failWith(location.empty() ? "The manifest is not a JSON object."
                                       : "The value at " + location + " is not an object.");
    return true;
  }

  bool readTake(const Json& object, const std::string& location, TakeManifest& take) {
    if (!requireObject(object, location))
      return false;
    const Json* value;
    if (!(value = member(object, "id", location, true)) ||
        !readUuid(*value, "id", location, take.id))
      return false;
    if (!(value = member(object, "filename", location, true)) ||
        !readString(*value, "filename", location, take.filename))
      return false;
    if (!(value = member(object, "duration", location, true)) ||
        !readNumber(*value, "duration", location, take.duration))
      return false;
    if (!(value = member(object, "recordedAt", location, true)) ||
        !readDate(*value, "recordedAt", location, take.recordedAt))
      return false;
    if ((value = member(object, "name", location, false))) {
      std::string name;
      if (!readString(*value, "name", location, name))
        return false;
      take.name = std::move(name);
    }
    if ((value = member(object, "trimStart", location, false))) {
      double number;
      if (!readNumber(*value, "trimStart", location, number))
        return false;
      take.trimStart = number;
    }
    if ((value = member(object, "trimEnd", location, false))) {
      double number;
      if (!readNumber(*value, "trimEnd", location, number))
        return false;
      take.trimEnd = number;
    }
    return true;
  }

  bool readScene(const Json& object, const std::string& location, SceneManifest& scene) {
    if (!requireObject(object, location))
      return false;
    const Json* value;
    if (!(value = member(object, "id", location, true)) ||
        !readUuid(*value, "id", location, scene.id))
      return false;
    if ((value = member(object, "name", location, false))) {
      std::string name;
      if (!readString(*value, "name", location, name))
        return false;
      scene.name = std::move(name);
    }
    if ((value = member(object, "selectedTakeID", location, false))) {
      Uuid id;
      if (!readUuid(*value, "selectedTakeID", location, id))
        return false;
      scene.selectedTakeID = id;
    }
    if (!(value = member(object, "takes", location, true)))
      return false;
    if (!value->is_array())
      return wrongType("takes", location, "an array");
    scene.takes.resize(value->size());
    for (size_t i = 0; i < value->size(); ++i) {
      if (!readTake((*value)[i], location + ".takes[" + std::to_string(i) + "]", scene.takes[i]))
        return false;
    }
    return true;
  }

  bool readSession(const Json& object, SessionManifest& manifest) {
    const std::string top;
    if (!requireObject(object, top))
      return false;
    const Json* value;
    if (!(value = member(object, "schemaVersion", top, true)) ||
        !readInteger(*value, "schemaVersion", top, manifest.schemaVersion))
      return false;
    if (!(value = member(object, "sessionID", top, true)) ||
        !readUuid(*value, "sessionID", top, manifest.sessionID))
      return false;
    if (!(value = member(object, "createdAt", top, true)) ||
        !readDate(*value, "createdAt", top, manifest.createdAt))
      return false;
    if (!(value = member(object, "currentSceneIndex", top, true)) ||
        !readInteger(*value, "currentSceneIndex", top, manifest.currentSceneIndex))
      return false;
    if (!(value = member(object, "scenes", top, true)))
      return false;
    if (!value->is_array())
      return wrongType("scenes", top, "an array");
    manifest.scenes.resize(value->size());
    for (size_t i = 0; i < value->size(); ++i) {
      if (!readScene((*value)[i], "scenes[" + std::to_string(i) + "]", manifest.scenes[i]))
        return false;
    }
    return true;
  }
};

// nlohmann prefixes its messages with "[json.exception.parse_error.101] ".
std::string withoutExceptionTag(const char* what) {
  std::string_view text = what;
  if (text.starts_with("[json.exception.")) {
    size_t end = text.find("] ");
    if (end != std::string_view::npos)
      text.remove_prefix(end + 2);
  }
  return "The data is not valid JSON: " + std::string(text);
}

} // namespace

Expected<SessionManifest, DecodingError> decodeManifest(std::string_view bytes) {
  Json document;
  try {
    document = Json::parse(bytes.begin(), bytes.end());
  } catch (const Json::exception& error) {
    return DecodingError{withoutExceptionTag(error.what())};
  }
  SessionManifest manifest;
  Reader reader;
  if (!reader.readSession(document, manifest))
    return DecodingError{*reader.error};
  return manifest;
}

} // namespace vidorel
