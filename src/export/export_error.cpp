#include "export/export_error.h"

namespace vidorel {

std::string_view description(ExportError error) {
  switch (error) {
  case ExportError::exportFailed:
    return "Export failed";
  case ExportError::destinationInsideSession:
    return "The movie cannot be saved inside the session’s folder";
  }
  return "Export failed";
}

std::string_view caseName(ExportError error) {
  switch (error) {
  case ExportError::exportFailed:
    return "exportFailed";
  case ExportError::destinationInsideSession:
    return "destinationInsideSession";
  }
  return "exportFailed";
}

std::string ExportFailure::description() const {
  if (error_)
    return std::string(vidorel::description(*error_));
  return text_;
}

std::string ExportFailure::fullDescription() const {
  if (error_)
    return "ExportError." + std::string(caseName(*error_)) + ": " + description();
  return text_;
}

} // namespace vidorel
