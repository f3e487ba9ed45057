#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

// The exporter's own failures.
enum class ExportError {
  exportFailed,
  // The destination is one of the session's take files or lies inside the
  // session's folder: writing there would destroy what is being exported.
  destinationInsideSession,
};

// "Export failed", ...
std::string_view description(ExportError error);
// "exportFailed", ...
std::string_view caseName(ExportError error);

// Why an export did not complete: one of the exporter's own errors, or an
// error of the platform (a file that cannot be read or written, a movie
// that cannot be demuxed) that passes through with its own text.
class ExportFailure {
public:
  static ExportFailure own(ExportError error) { return ExportFailure(error, {}); }
  static ExportFailure platform(std::string text) {
    return ExportFailure(std::nullopt, std::move(text));
  }

  // The text shown to the user.
  std::string description() const;
  // The text logged: the case name with the description for the exporter's
  // own errors, the platform's text otherwise.
  std::string fullDescription() const;

  std::optional<ExportError> error() const { return error_; }

  bool operator==(const ExportFailure&) const = default;

private:
  ExportFailure(std::optional<ExportError> error, std::string text)
      : error_(error), text_(std::move(text)) {}

  std::optional<ExportError> error_;
  std::string text_;
};

} // namespace vidorel
