#pragma once
// Deleting a work folder or file below an allowed root, with the refusal of
// a path outside it written to the main log.
#include <string>

#include "base/error.h"
#include "fs/safe_fs.h"

namespace rr {

// Deletes a file or a whole tree strictly below the allowed root, walking from
// the root through folder handles (the root itself may be a link; nothing
// below it is followed). A link inside the tree is removed as an entry, a path
// that is itself a link loses only the link, and a link on the way to the path
// stops the deletion. A path that is not strictly below the root is refused,
// logged, and nothing is deleted. On false `err` (when given) holds the code
// of the last thing that could not be deleted.
bool DeleteTreeUnderRoot(const std::wstring& path, const ClientFolder& allowedRoot,
                         Error* err = nullptr);

}  // namespace rr
