// The way back as a property: a set read into glTF by vantrel-view and
// exported again by vantrel-export is the set, and a second pass changes nothing.
#include "tests/import/test_files.h"
#include "tests/support/test_support.h"
#include "view/exported_set.h"
#include "view/set_compare.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

using namespace testing_support;

namespace {

std::string Run(const ScratchDir& dir, const std::string& command, int& status) {
    const int raw = std::system(("cd '" + dir.Path().string() + "' && " + command + " >.out 2>&1 </dev/null").c_str());
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return ReadFile(dir / ".out");
}

// The glTF of the set at base (dir/NAME), and the options vantrel-view says export it back.
std::string ToGltf(const ScratchDir& dir, const std::string& base, std::string& output) {
    int status = 0;
    output = Run(dir, std::string(VANTREL_VIEW_PATH) + " " + base + ".3D --gltf " + base + ".glb", status);
    EXPECT_EQ(status, 0) << output;
    const size_t at = output.find("Export back: ");
    if (at == std::string::npos) return {};
    std::string line = output.substr(at, output.find('\n', at) - at);
    return line.substr(line.find(".3D") + 3);
}

void Export(const ScratchDir& dir, const std::string& model, const std::string& base, const std::string& options) {
    std::filesystem::create_directories(std::filesystem::path(dir / base).parent_path());
    int status = 0;
    const std::string output =
        Run(dir, std::string(VANTREL_EXPORT_PATH) + " --no-log " + model + " " + base + ".3D " + options, status);
    ASSERT_EQ(status, 0) << model << " " << options << "\n" << output;
}

struct Case {
    std::string model;    // from the source tree, or written by the test
    std::string options;  // of the first export
    int steps;            // record steps the second export may differ by
    bool alike = false;   // holds vertices alike in every frame, which come back all the same
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.model << " " << c.options; }

class RoundTrip : public testing::TestWithParam<Case> {};

// Exported sets carry no offset: the box of the decoded frames, with the
// origin, is re-centred, which moves a record by up to one step (at most
// half a step of offset and the scale's rounding).
TEST_P(RoundTrip, ExportOfTheGltfIsTheSetAndAgainTheSame) {
    const Case& c = GetParam();
    ScratchDir dir;
    std::string model = c.model;
    if (model == "ladder") {
        model = dir / "ladder.gltf";
        test_files::WriteText(model, test_files::LadderGltf(test_files::FaceRigLadder()));
    } else if (model == "triangle types") {
        model = dir / "types.gltf";
        test_files::WriteText(model, test_files::MaterialsGltf({{.name = "OneSided", .doubleSided = false},
                                                                {.name = "Cutout", .alphaMode = "MASK"},
                                                                {.name = "Glass", .alphaMode = "BLEND"},
                                                                {.name = "Glow", .unlit = true},
                                                                {.name = "Weapon"}}));
    } else {
        model = std::string(VANTREL_SOURCE_DIR) + "/" + model;
    }
    ASSERT_NO_FATAL_FAILURE(Export(dir, model, "a/M", c.options));
    std::string said;
    const std::string back = ToGltf(dir, "a/M", said);
    ASSERT_FALSE(back.empty()) << said;
    ASSERT_NO_FATAL_FAILURE(Export(dir, "a/M.glb", "b/M", back));

    const view::ExportedSet original = view::ReadExportedSet(dir / "a/M.3D");
    const view::ExportedSet copy = view::ReadExportedSet(dir / "b/M.3D");
    const view::SetComparison comparison = view::CompareSets(original, copy);
    std::string differences;
    for (const std::string& line : comparison.differences) differences += line + "\n";
    if (c.alike) {
        EXPECT_NE(said.find("vertices match another in every frame"), std::string::npos) << said;
    }
    EXPECT_TRUE(comparison.Holds(c.steps)) << said << differences;
    EXPECT_TRUE(copy.Consistent()) << copy.problems.front();

    // Read back and exported again: the same files.
    const std::string again = ToGltf(dir, "b/M", said);
    ASSERT_NO_FATAL_FAILURE(Export(dir, "b/M.glb", "c/M", again));
    for (const char* suffix : {"_d.3d", "_a.3d"})
        EXPECT_TRUE(ReadFile(dir / (std::string("b/M") + suffix)) == ReadFile(dir / (std::string("c/M") + suffix)))
            << suffix << " changed when exported a second time";
    // glTF holds images as PNG: a texture written as BMP comes back as PNG.
    const std::regex extension("(FILE=[^ ]*)\\.(bmp|png)");
    EXPECT_EQ(std::regex_replace(ReadFile(dir / "b/M.uc"), extension, "$1"),
              std::regex_replace(ReadFile(dir / "c/M.uc"), extension, "$1"));
}

// Two vertices alike in the first 66 frames part in the last: the glTF's
// mesh holds them alike, and only its morph targets part them, which a
// reader that joins vertices by the mesh alone would merge.
TEST(RoundTripFrames, VerticesThatPartOnlyInALaterFrameStayApart) {
    ScratchDir dir;
    const int frames = 67, vertices = 4;
    std::string data(48 + 32, '\0');
    data[0] = 2, data[2] = vertices;
    const uint8_t corners[2][3] = {{0, 1, 2}, {3, 2, 1}};
    for (int t = 0; t < 2; ++t) {
        char* polygon = &data[48 + 16 * t];
        for (int k = 0; k < 3; ++k) polygon[2 * k] = static_cast<char>(corners[t][k]), polygon[8 + 2 * k] = 10;
        polygon[6] = 1;
    }
    std::string anim(4 + 8 * vertices * frames, '\0');
    anim[0] = frames, anim[2] = 8 * vertices;
    for (int f = 0; f < frames; ++f) {
        // x, z, y of vertices 0 to 3; vertex 3 leaves vertex 0 in the last frame.
        const int16_t records[vertices][3] = {{0, 0, 0}, {40, 0, 0}, {0, 0, 40}, {0, int16_t(f + 1 == frames ? 30 : 0), 0}};
        for (int v = 0; v < vertices; ++v) std::memcpy(&anim[4 + 8 * (f * vertices + v)], records[v], 6);
    }
    test_files::WriteText(dir / "Part_d.3d", data);
    test_files::WriteText(dir / "Part_a.3d", anim);
    test_files::WriteText(dir / "Part.uc", "#exec MESH IMPORT MESH=Part ANIVFILE=MODELS\\Part_a.3d DATAFILE=MODELS\\Part_d.3d\r\n"
                              "#exec MESH SEQUENCE MESH=Part SEQ=All STARTFRAME=0 NUMFRAMES=67\r\n"
                              "#exec MESHMAP SCALE MESHMAP=Part X=0.1 Y=0.1 Z=0.1\r\n");
    std::string said;
    const std::string back = ToGltf(dir, "Part", said);
    ASSERT_FALSE(back.empty()) << said;
    ASSERT_NO_FATAL_FAILURE(Export(dir, "Part.glb", "b/Part", back));
    const view::ExportedSet copy = view::ReadExportedSet(dir / "b/Part.3D");
    ASSERT_EQ(copy.vertexCount, 4u);
    EXPECT_NE(view::DecodePosition(copy, frames - 1, 0), view::DecodePosition(copy, frames - 1, 3));
}

INSTANTIATE_TEST_SUITE_P(
    Models, RoundTrip,
    testing::Values(Case{"examples/totem.gltf", "--bake exact", 1}, Case{"examples/totem.gltf", "--bake host", 1},
                    Case{"examples/sample.hm.json", "", 1},
                    Case{"tests/data/RiggedSimple/RiggedSimple.gltf", "--bake exact", 1},
                    Case{"tests/data/RiggedSimple/RiggedSimple.gltf", "--bake host", 1},
                    Case{"tests/data/SimpleSkin/SimpleSkin.gltf", "--bake exact", 1},
                    Case{"tests/data/SimpleSkin/SimpleSkin.gltf", "--bake host", 1},
                    Case{"tests/data/greenman/greenman.glb", "--bake exact", 1},
                    Case{"tests/data/greenman/greenman.glb", "--bake host", 1}, Case{"ladder", "--bake exact", 1, true},
                    Case{"triangle types", "", 1}),
    [](const testing::TestParamInfo<Case>& info) { return "Case" + std::to_string(info.index); });

}  // namespace
