// The addon imports Node-API from "node.exe" by name, but hosts such as
// Electron, or a renamed node.exe, export it from an executable with another
// name. The imports are delay-loaded, and this hook hands the loader the
// running executable whenever it asks for node.exe.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <delayimp.h>
#include <string.h>

namespace {

FARPROC WINAPI loadHostImage(unsigned notify, PDelayLoadInfo info) {
  if (notify != dliNotePreLoadLibrary || _stricmp(info->szDll, "node.exe") != 0) return nullptr;
  return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = loadHostImage;
PfnDliHook __pfnDliFailureHook2 = nullptr;
}
#endif
