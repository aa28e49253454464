// A Windows host in miniature: loads a model through hmModelLib.dll, loads the
// plug-in, and calls the object only by slot position, as a host built with
// the platform's own compiler does. Prints every call and what it returned.
#include "host/model_json.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The member-call convention of the platform's compiler.
#if defined(__i386__)
#  define MEMBER_CALL __attribute__((thiscall))
#else
#  define MEMBER_CALL
#endif

using DeletingDestructorSlot = void*(MEMBER_CALL*)(void* self, unsigned flags);
using GetKindSlot = int32_t(MEMBER_CALL*)(void* self);
using GetCaptionSlot = const char*(MEMBER_CALL*)(void* self);
using RunSlot = int32_t(MEMBER_CALL*)(void* self, hmModel* model);
using CreatePlugInEntry = void* (*)();

int destroyCount = 0;

int Fail(const std::string& text) {
    std::printf("error: %s\n", text.c_str());
    std::fflush(stdout);
    return 2;
}

// Slot n of the object's table of operations.
template <typename Function>
Function Slot(void* object, int n) {
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Function>(table[n]);
}

void ReportKindAndCaption(void* object, const char* when) {
    const int32_t kind = Slot<GetKindSlot>(object, 1)(object);
    std::printf("%sslot 1 GetKind -> %d\n", when, static_cast<int>(kind));
    const char* caption = Slot<GetCaptionSlot>(object, 2)(object);
    const char* start = static_cast<const char*>(object);
    const bool inside = caption >= start && caption < start + sizeof(void*) + 64;
    std::printf("%sslot 2 GetCaption -> \"%s\" (%s the object)\n", when, caption ? caption : "(null)",
                inside ? "inside" : "outside");
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 3) return Fail("usage: vantrel-test-host PLUGIN.dll (MODEL.hm.json | --null)");
    const std::string pluginPath = argv[1];
    const std::string modelPath = argv[2];

    hm::ModelPtr model;
    if (modelPath != "--null") {
        hm::LoadResult loaded = hm::LoadModelJson(modelPath);
        if (!loaded.model) return Fail(loaded.error);
        model = std::move(loaded.model);
        model->onDestroy = [](const hmModel*) { ++destroyCount; };
        std::printf("model %s: %d meshes\n", modelPath.c_str(), static_cast<int>(hmModel_GetMeshCount(model.get())));
    }

    HMODULE library = LoadLibraryA(pluginPath.c_str());
    if (!library) return Fail(pluginPath + ": LoadLibrary failed, error " + std::to_string(GetLastError()));
    auto create = reinterpret_cast<CreatePlugInEntry>(reinterpret_cast<void*>(GetProcAddress(library, "CreatePlugIn")));
    if (!create) return Fail(pluginPath + ": no export named CreatePlugIn");
    void* object = create();
    std::printf("CreatePlugIn -> %s\n", object ? "object" : "null");
    if (!object) return 1;

    ReportKindAndCaption(object, "");

    const int32_t result = Slot<RunSlot>(object, 3)(object, model.get());
    std::printf("slot 3 Run -> %d\n", static_cast<int>(result));
    std::printf("hmModel_Destroy calls: %d\n", destroyCount);
    // A run that completed released the model; otherwise it is still ours.
    if (destroyCount > 0) static_cast<void>(model.release());

    ReportKindAndCaption(object, "after Run: ");

    void* returned = Slot<DeletingDestructorSlot>(object, 0)(object, 1);
    std::printf("slot 0 deleting destructor(1) -> %s\n", returned == object ? "the object" : "something else");
    std::printf("FreeLibrary -> %s\n", FreeLibrary(library) ? "ok" : "failed");
    return 0;
}
