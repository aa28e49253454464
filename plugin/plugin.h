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

#if defined(_WIN32)

// Windows hosts are built with the platform's own compiler, whose table of
// virtual operations differs from g++'s: a virtual destructor takes ONE slot
// (a deleting destructor that gets a flags argument, deletes when bit 0 is set
// and returns the object), and member calls on 32-bit pass the object in ECX
// with the callee popping the arguments (thiscall). A g++ class would give the
// destructor two slots and shift GetKind, GetCaption and Run by one. So on
// Windows the table is spelled out: the object's first field points at it.
#  if defined(__i386__)
#    define HOST_MEMBER_CALL __attribute__((thiscall))
#  else
#    define HOST_MEMBER_CALL  // 64-bit Windows has one calling convention, object first
#  endif

struct PlugInBase;

// Slot order is what the host relies on. Do not reorder.
struct PlugInOperations {
    void*(HOST_MEMBER_CALL* DeletingDestructor)(PlugInBase* self, unsigned flags);
    int32_t(HOST_MEMBER_CALL* GetKind)(PlugInBase* self);
    const char*(HOST_MEMBER_CALL* GetCaption)(PlugInBase* self);
    int32_t(HOST_MEMBER_CALL* Run)(PlugInBase* self, hmModel* model);
};

struct PlugInBase {
    const PlugInOperations* operations;
};

class ExportPlugIn final : public PlugInBase {
public:
    ExportPlugIn();
    int32_t GetKind();
    const char* GetCaption();
    int32_t Run(hmModel* model);

private:
    char caption[64];
};

#else

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

#endif

// The kind under which the host lists a plug-in as an exporter.
constexpr int32_t kExporterKind = 2;

// The library's one exported symbol. Null when the object cannot be allocated.
VANTREL_EXPORT PlugInBase* CreatePlugIn();

// The factory's type, for hosts that look it up by name.
using CreatePlugInFunction = PlugInBase* (*)();
