#pragma once

#include <filesystem>
#include <functional>
#include <system_error>

namespace vidorel {

// The steps of putting a session folder at a package's place, in the order
// they happen. Not every move takes every step: a move within one file
// system is placed by one rename.
enum class SessionMoveStep {
  copied,           // the whole folder is copied and synced under a staging name
  replacedSetAside, // the item at the destination is renamed out of the way
  placed,           // the session is at the destination, synced
  sourceUnlisted,   // the source's manifest is gone: no scan finds it any more
};

struct SessionMoveOptions {
  // Copy instead of move: the source stays as it is (saving an open package
  // under a new name).
  bool keepSource = false;
  // Take the copying road even within one file system, as a move across
  // file systems must.
  bool alwaysCopy = false;
  // Asked after each step; false stops the move there, leaving the disk as
  // a crash at that instant would (tests stand for crashes this way).
  std::function<bool(SessionMoveStep)> proceed;
};

// Puts the session folder source at destination, replacing whatever is
// there (the caller has made sure that is a package). Ordered so that at
// every instant a crash leaves the session either whole in source, where
// the recovery scan of the scratch root finds it, or whole at destination:
// - within one file system, one rename moves it;
// - across file systems it is copied beside the destination under a
//   staging name, every file and folder synced, renamed into place, and
//   only then is the source's manifest removed (from then on no scan lists
//   it) and the rest of the source deleted.
// A failure leaves source, and the item that was at destination, as they
// were. An interrupted move (proceed returned false) reports
// std::errc::interrupted.
std::error_code placeSessionFolder(const std::filesystem::path& source,
                                   const std::filesystem::path& destination,
                                   const SessionMoveOptions& options = {});

} // namespace vidorel
