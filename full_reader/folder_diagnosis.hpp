// What a path that did not open as an acquisition is instead, told from what it holds, with what
// to do about it. Called only after opening failed, so a readable folder never pays for it.
#pragma once

#include <string>

#include "reader_lib/error.hpp"

namespace vornak {

// A Folder error saying what `path` is and what to do when it is one of the known wrong places:
// the AcqData folder itself, a file inside an acquisition, a folder holding acquisitions, a
// folder or file of another format (ChemStation MS files, an OpenLab CDS .dx container or
// .rslt/.sirslt result folder, a JCAMP-DX text file). Otherwise `error`, the reason opening
// failed, unchanged. Nothing here fails: what cannot be looked at counts as not matching.
[[nodiscard]] Error diagnose_folder(const std::string& path, const Error& error);

}  // namespace vornak
