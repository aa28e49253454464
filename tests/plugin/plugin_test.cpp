// The plug-in as a host sees it: loaded with dlopen, reached through
// CreatePlugIn and the interface only.
#include "plugin/plugin.h"

#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <new>

// Allocations made anywhere in the process (the plug-in's included: this
// executable exports its operators, which the loaded library then uses).
namespace {
void* lastAllocated = nullptr;
size_t lastAllocatedSize = 0;
void* lastFreed = nullptr;
}  // namespace

void* operator new(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    lastAllocated = p;
    lastAllocatedSize = size;
    return p;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    void* p = std::malloc(size ? size : 1);
    lastAllocated = p;
    lastAllocatedSize = size;
    return p;
}
void operator delete(void* p) noexcept {
    lastFreed = p;
    std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

class PlugInTest : public ::testing::Test {
protected:
    void SetUp() override {
        library = dlopen(VANTREL_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        create = reinterpret_cast<CreatePlugInFunction>(dlsym(library, "CreatePlugIn"));
        ASSERT_NE(create, nullptr);
    }
    void TearDown() override {
        if (library) dlclose(library);
    }
    void* library = nullptr;
    CreatePlugInFunction create = nullptr;
};

TEST_F(PlugInTest, AnswersKindAndCaptionOnEveryCall) {
    PlugInBase* plugin = create();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->GetKind(), 2);
    EXPECT_STREQ(plugin->GetCaption(), "Vantrel 3d...");
    // The caption lives in the object: the same address every time.
    EXPECT_EQ(plugin->GetCaption(), plugin->GetCaption());
    EXPECT_EQ(plugin->Run(nullptr), -1);
    EXPECT_EQ(plugin->GetKind(), 2);
    EXPECT_STREQ(plugin->GetCaption(), "Vantrel 3d...");
    delete plugin;
}

TEST_F(PlugInTest, TwoObjectsAreIndependent) {
    PlugInBase* first = create();
    PlugInBase* second = create();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first->GetCaption(), second->GetCaption());
    delete first;
    EXPECT_STREQ(second->GetCaption(), "Vantrel 3d...");
    delete second;
}

TEST_F(PlugInTest, DeletingThroughTheInterfaceReleasesWhatCreateObtained) {
    PlugInBase* plugin = create();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(lastAllocated, static_cast<void*>(plugin));
    EXPECT_EQ(lastAllocatedSize, sizeof(void*) + 64);  // the table pointer and the caption
    delete plugin;
    EXPECT_EQ(lastFreed, lastAllocated);
}

TEST(PlugInLibrary, CreatePlugInIsTheOnlyExportedSymbol) {
    std::string command = std::string("nm -D --defined-only ") + VANTREL_PLUGIN_PATH;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> own;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        // "<address> <type> <name>"; only the library's code and data count.
        if (text.size() > 19 && std::strchr("TDBRtdbr", text[17])) own.push_back(text.substr(19));
    }
    pclose(pipe);
    EXPECT_EQ(own, std::vector<std::string>{"CreatePlugIn\n"});
}

}  // namespace
