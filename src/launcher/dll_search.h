#pragma once

namespace velda {

// Loads every DLL of the rest of the run from the system folder alone, never from the
// launcher's folder or the current one, where anyone could have put a file of that name. The
// first call of the run. The DLLs that are not the system's own known ones (winhttp.dll,
// bcrypt.dll) are delay-loaded by the build, so that the loader does not look for them before
// this call, and are loaded here from the system folder.
void load_dlls_from_system_folder_only();

}  // namespace velda
