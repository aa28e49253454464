#include "export/animation_file.h"

#include "export/quantise.h"
#include "skeleton/bone_table.h"
#include "skeleton/frame_pose.h"

#include <array>
#include <cmath>

namespace {

// Calls visit(vertexIndexInMesh, posedPosition) for every vertex of the model
// in the model-wide order: mesh 0's vertices, then mesh 1's, and so on.
template <typename Visit>
void ForEachPosedVertex(hmModel* model, Visit visit) {
    for (int32_t m = 0; m < hmModel_GetMeshCount(model); ++m) {
        hmMesh* mesh = hmModel_GetMeshAt(model, m);
        for (int32_t v = 0; v < hmMesh_GetVertexCount(mesh); ++v) {
            Vector3 p;
            GetPosedVertex(p, hmMesh_GetVertexAt(mesh, v));
            visit(v, p);
        }
    }
}

}  // namespace

AnimationResult WriteAnimationFile(hmModel* model, OutputFile& file, ExportLog& log, uint16_t vertexTotal) {
    float magnitude = 0.0f;
    log.Print("Beginning _a.3d file\n");
    SetupBindPose(model);

    std::array<uint8_t, kAnimHeaderSize> header{};
    const uint16_t frameCount = static_cast<uint16_t>(hmModel_GetTotalFrames(model));
    log.Print("To File: Number of Frames - ", frameCount, "\n");
    StoreU16(&header[0], frameCount);
    const uint16_t frameSize = static_cast<uint16_t>(vertexTotal * 8u);
    log.Print("To File: Framesize - ", frameSize, "\n");
    StoreU16(&header[2], frameSize);
    file.Write(header.data(), header.size());

    Vector3 boundsMax{0.0f, 0.0f, 0.0f};
    Vector3 boundsMin{0.0f, 0.0f, 0.0f};
    for (int32_t f = 0; f < frameCount; ++f) {
        EvaluatePose(model, f);
        ForEachPosedVertex(model, [&](int32_t, const Vector3& p) {
            if (p.x > boundsMax.x) boundsMax.x = p.x;
            if (p.x < boundsMin.x) boundsMin.x = p.x;
            if (p.y > boundsMax.y) boundsMax.y = p.y;
            if (p.y < boundsMin.y) boundsMin.y = p.y;
            if (p.z > boundsMax.z) boundsMax.z = p.z;
            if (p.z < boundsMin.z) boundsMin.z = p.z;
        });
    }

    auto centre = [](float high, float low) {
        return static_cast<float>((static_cast<double>(high) - low) / 2.0 + low);
    };
    const Vector3 offset{centre(boundsMax.x, boundsMin.x), centre(boundsMax.y, boundsMin.y),
                         centre(boundsMax.z, boundsMin.z)};
    for (auto [high, middle] : {std::pair{boundsMax.x, offset.x}, std::pair{boundsMax.y, offset.y},
                                std::pair{boundsMax.z, offset.z}}) {
        double d = std::fabs(static_cast<double>(high) - static_cast<double>(middle));
        if (magnitude < d) magnitude = static_cast<float>(d);
    }
    const float scale = static_cast<float>(128.0 / static_cast<double>(magnitude));

    log.Print("Max Values - ", Fixed{boundsMax.x}, " ", Fixed{boundsMax.y}, " ", Fixed{boundsMax.z}, "\n",
              " Min Values - ", Fixed{boundsMin.x}, " ", Fixed{boundsMin.y}, " ", Fixed{boundsMin.z}, "\n");
    log.Print("Offset Values - ", Fixed{offset.x}, " ", Fixed{offset.y}, " ", Fixed{offset.z}, "\n");
    log.Print("Largest Magnitude - ", Fixed{magnitude}, "\n");
    log.Print("Scale factor - ", Fixed{scale}, "\n");

    for (int32_t f = 0; f < frameCount; ++f) {
        EvaluatePose(model, f);
        log.Print("Writing frame no. ", hmModel_GetFrame(model), "\n");
        ForEachPosedVertex(model, [&](int32_t vertexInMesh, const Vector3& p) {
            const int16_t x = QuantisePosition(p.x, offset.x, scale);
            const int16_t y = QuantisePosition(p.z, offset.z, scale);
            const int16_t z = QuantisePosition(p.y, offset.y, scale);
            log.Print("To file: Vertex ", vertexInMesh, " - ", x, " ", y, " ", z, "\n");
            std::array<uint8_t, kFrameVertexSize> record{};
            StoreU16(&record[0], static_cast<uint16_t>(x));
            StoreU16(&record[2], static_cast<uint16_t>(y));
            StoreU16(&record[4], static_cast<uint16_t>(z));
            file.Write(record.data(), record.size());
        });
    }
    return {frameCount, scale};
}
