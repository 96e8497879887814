// The operator's commands beside the server: verify an archive, unpack it,
// rebuild the store's index from its folders. Each returns the exit status
// and writes its report to out and its error line to err.
#pragma once

#include <ostream>
#include <string>

namespace orvant::collect {

// 0 and a summary when the archive is whole; 1 and one line naming the first
// bad entry and the byte offset otherwise (2: the file cannot be read).
int VerifyArchive(const std::string& path, std::ostream& out, std::ostream& err);
// Verifies, then extracts into dir (created when missing; a link is
// refused), never writing outside it and never replacing a file.
int UnpackArchive(const std::string& path, const std::string& dir, std::ostream& out, std::ostream& err);
// Rebuilds STORE/index.sqlite from every uploads/*/*/upload.json and the
// duplicates.log beside it. Run it while no server uses the store.
int Reindex(const std::string& store, std::ostream& out, std::ostream& err);

}  // namespace orvant::collect
