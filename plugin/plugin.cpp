#include "plugin/plugin.h"

#include "export/export_run.h"

#include <cstring>
#include <new>

#if defined(_WIN32)
#include <windows.h>

namespace {

ExportPlugIn* Self(PlugInBase* self) { return static_cast<ExportPlugIn*>(self); }

void* HOST_MEMBER_CALL DeletingDestructor(PlugInBase* self, unsigned flags) {
    if (flags & 1)
        delete Self(self);
    else
        Self(self)->~ExportPlugIn();
    return self;
}
int32_t HOST_MEMBER_CALL GetKindSlot(PlugInBase* self) { return Self(self)->GetKind(); }
const char* HOST_MEMBER_CALL GetCaptionSlot(PlugInBase* self) { return Self(self)->GetCaption(); }
int32_t HOST_MEMBER_CALL RunSlot(PlugInBase* self, hmModel* model) { return Self(self)->Run(model); }

constexpr PlugInOperations kOperations = {DeletingDestructor, GetKindSlot, GetCaptionSlot, RunSlot};

}  // namespace

// Load and unload do no work: no per-process or per-thread state.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif

ExportPlugIn::ExportPlugIn() {
#if defined(_WIN32)
    operations = &kOperations;
#endif
    std::memset(caption, 0, sizeof caption);
    std::strcpy(caption, "Vantrel 3d...");
}

int32_t ExportPlugIn::GetKind() { return kExporterKind; }

const char* ExportPlugIn::GetCaption() { return caption; }

int32_t ExportPlugIn::Run(hmModel* model) { return ::Run(model); }

PlugInBase* CreatePlugIn() { return new (std::nothrow) ExportPlugIn(); }
