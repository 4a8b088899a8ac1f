// Where the vendor's libftd2xx.so may be on Linux, in the order the recorder tries.
#pragma once

#include <string>
#include <vector>

namespace recorder {
// The folders of LD_LIBRARY_PATH (where the wrapper puts the recorder, and where a user
// may have put the vendor's library), /usr/local/lib (FTDI's ReadMe installs there),
// the folders of ld.so's configuration (/etc/ld.so.conf and what it includes), and the
// system's own library folders; each once.
std::vector<std::string> libraryFolders();

}  // namespace recorder
