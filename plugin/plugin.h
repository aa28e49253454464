// The plug-in object the host talks to: the interface whose order of virtual
// operations the host relies on, the one concrete exporter, and the factory.
#pragma once

#include "host/hm_model_lib.h"

#include <cstdint>

#if defined(_WIN32)
#  define VANTREL_EXPORT extern "C" __declspec(dllexport)
#else
#  define VANTREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The host finds each operation by its position in the table of virtual
// operations: destructor, GetKind, GetCaption, Run. Do not reorder.
class PlugInBase {
public:
    virtual ~PlugInBase() = default;
    virtual int32_t GetKind() = 0;
    virtual const char* GetCaption() = 0;
    virtual int32_t Run(hmModel* model) = 0;
};

class ExportPlugIn final : public PlugInBase {
public:
    ExportPlugIn();
    int32_t GetKind() override;
    const char* GetCaption() override;
    int32_t Run(hmModel* model) override;

private:
    char caption[64];
};

// The kind under which the host lists a plug-in as an exporter.
constexpr int32_t kExporterKind = 2;

// The library's one exported symbol. Null when the object cannot be allocated.
VANTREL_EXPORT PlugInBase* CreatePlugIn();

// The factory's type, for hosts that look it up by name.
using CreatePlugInFunction = PlugInBase* (*)();
