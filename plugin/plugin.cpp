#include "plugin/plugin.h"

#include "export/export_run.h"

#include <cstring>
#include <new>

ExportPlugIn::ExportPlugIn() {
    std::memset(caption, 0, sizeof caption);
    std::strcpy(caption, "Vantrel 3d...");
}

int32_t ExportPlugIn::GetKind() { return kExporterKind; }

const char* ExportPlugIn::GetCaption() { return caption; }

int32_t ExportPlugIn::Run(hmModel* model) { return ::Run(model); }

PlugInBase* CreatePlugIn() { return new (std::nothrow) ExportPlugIn(); }

#if defined(_WIN32)
#include <windows.h>

// Load and unload do no work: no per-process or per-thread state.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
