// Whether a folder node of the tree gets an expand arrow: only when it
// holds something the tree shows under it. Plain file-system code, no Qt.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// Decides whether a file (not a folder) is shown as a node of its own in
// the tree; empty: no file is.
using FileNodePredicate = std::function<bool(std::string_view name)>;

// Whether folder holds a subfolder (hidden ones excepted, links to folders
// included) or a file that fileIsNode accepts. Stops at the first one; a
// folder with more than maxEntries entries before it answers true rather
// than reading on, so that a huge folder costs no more than a small one.
// An unreadable folder has no children.
bool HasChildNodes(const std::string& folder, const FileNodePredicate& fileIsNode = {},
                   int maxEntries = 4096);
