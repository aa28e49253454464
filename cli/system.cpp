#include "cli/system.h"

#include "platform/platform_ui.h"

#include <filesystem>
#include <functional>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#include "platform/windows_text.h"

#include <cstdlib>
#include <vector>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#if defined(_WIN32)

namespace {

std::wstring Wide(const std::string& text) { return hm::platform::Wide(text, CP_UTF8); }

using hm::platform::SystemMessage;

}  // namespace

std::string ProgramDirectory() {
    std::vector<wchar_t> path(32768);
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return ".";
    const std::u8string folder = fs::path(std::wstring(path.data(), n)).parent_path().u8string();
    return std::string(folder.begin(), folder.end());
}

const char* PluginFileName() { return "hmVantrelExport.dll"; }

Error LoadPlugIn(const std::string& path, CreatePlugInFunction& create) {
    // Its host library beside it, as the modelling host's folder would hold it.
    HMODULE library = LoadLibraryExW(Wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) return Fault(ErrorKind::kBadInput, path + ": " + SystemMessage(GetLastError()));
    platform::AnswerDialogsIn(library);
    create = reinterpret_cast<CreatePlugInFunction>(reinterpret_cast<void*>(GetProcAddress(library, "CreatePlugIn")));
    if (!create) return Fault(ErrorKind::kBadInput, path + ": no CreatePlugIn");
    return {};
}

void PrepareProgram() {
    platform::AnswerDialogsIn(GetModuleHandleW(nullptr));
}

int32_t PlugInKind(PlugInBase* plugin) { return plugin->operations->GetKind(plugin); }
const char* PlugInCaption(PlugInBase* plugin) { return plugin->operations->GetCaption(plugin); }
int32_t RunPlugIn(PlugInBase* plugin, hmModel* model) { return plugin->operations->Run(plugin, model); }
void DeletePlugIn(PlugInBase* plugin) { plugin->operations->DeletingDestructor(plugin, 1); }

bool InputIsTerminal() { return _isatty(0) != 0; }

long LongestFileName(const std::string&) { return 255; }

bool FreeSpace(const std::string& folder, uint64_t& freeBytes, uint64_t& fileSystem) {
    const std::wstring wide = Wide(folder.empty() ? "." : folder);
    ULARGE_INTEGER available{};
    wchar_t volume[MAX_PATH + 1];
    // The volume's root names the file system (its serial number may not be readable).
    if (!GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr) ||
        !GetVolumePathNameW(fs::absolute(fs::path(wide)).c_str(), volume, MAX_PATH + 1))
        return false;
    freeBytes = available.QuadPart;
    fileSystem = std::hash<std::wstring>{}(fs::path(volume).lexically_normal().wstring());
    return true;
}

#else

std::string ProgramDirectory() {
    std::error_code code;
    fs::path self = fs::read_symlink("/proc/self/exe", code);
    return code ? std::string(".") : self.parent_path().string();
}

const char* PluginFileName() { return "hmVantrelExport.so"; }

Error LoadPlugIn(const std::string& path, CreatePlugInFunction& create) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) return Fault(ErrorKind::kBadInput, dlerror());
    create = reinterpret_cast<CreatePlugInFunction>(dlsym(library, "CreatePlugIn"));
    if (!create) return Fault(ErrorKind::kBadInput, path + ": no CreatePlugIn");
    return {};
}

void PrepareProgram() {}

int32_t PlugInKind(PlugInBase* plugin) { return plugin->GetKind(); }
const char* PlugInCaption(PlugInBase* plugin) { return plugin->GetCaption(); }
int32_t RunPlugIn(PlugInBase* plugin, hmModel* model) { return plugin->Run(model); }
void DeletePlugIn(PlugInBase* plugin) { delete plugin; }

bool InputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

long LongestFileName(const std::string& folder) { return pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX); }

bool FreeSpace(const std::string& folder, uint64_t& freeBytes, uint64_t& fileSystem) {
    struct statvfs space;
    struct stat device;
    const char* name = folder.empty() ? "." : folder.c_str();
    if (statvfs(name, &space) != 0 || stat(name, &device) != 0) return false;
    freeBytes = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    fileSystem = static_cast<uint64_t>(device.st_dev);
    return true;
}

#endif
