#include "export/mesh_data_file.h"

#include "export/quantise.h"
#include "host/format_limits.h"

#include <algorithm>
#include <array>

uint16_t WriteMeshDataFile(hmModel* model, OutputFile& file, ExportLog& log, const std::vector<uint8_t>& triangleTypes,
                           const std::vector<float>& cornerTexCoords) {
    uint16_t polygonTotal = 0;
    uint16_t vertexTotal = 0;
    int64_t trueVertices = 0, trueTriangles = 0;
    char name[hm::kNameField];
    for (int32_t i = 0; i < hmModel_GetMeshCount(model); ++i) {
        hmMesh* mesh = hmModel_GetMeshAt(model, i);
        vertexTotal = static_cast<uint16_t>(vertexTotal + hmMesh_GetVertexCount(mesh));
        polygonTotal = static_cast<uint16_t>(polygonTotal + hmMesh_GetTriangleCount(mesh));
        trueVertices += std::max(hmMesh_GetVertexCount(mesh), 0);
        trueTriangles += std::max(hmMesh_GetTriangleCount(mesh), 0);
        name[0] = '\0';
        hmMesh_GetName(mesh, name, sizeof name);
        name[sizeof name - 1] = '\0';
        log.Print("Group ", name, " Vertex Count ", vertexTotal, " PolyCount ", polygonTotal, "\n");
    }

    // The host's model is exported as it stands; what the format cannot hold
    // is written wrapped, and the log says so, a line for each.
    if (trueVertices > hm::kMax16Bit)
        log.Print("Wrap: ", trueVertices, " vertices in all; the vertex count and numbers hold ", hm::kMax16Bit,
                  ", so the count reads ", vertexTotal, "\n");
    if (trueTriangles > hm::kMaxTriangleTotal)
        log.Print("Wrap: ", trueTriangles, " triangles in all; the triangle count holds ", hm::kMaxTriangleTotal,
                  ", so it reads ", polygonTotal, "\n");
    if (hmModel_GetMeshCount(model) > hm::kTextureSlots)
        log.Print("Wrap: ", hmModel_GetMeshCount(model), " meshes; the texture slot holds ", hm::kTextureSlots,
                  ", so mesh ", hm::kTextureSlots, " shows slot 0\n");

    std::array<uint8_t, kDataHeaderSize> header{};
    log.Print("To File: No of Triangles - ", polygonTotal, "\n");
    StoreU16(&header[0], polygonTotal);
    log.Print("To File: No of Verticies - ", vertexTotal, "\n");
    StoreU16(&header[2], vertexTotal);
    log.Print("To File: Padding Zeros\n");
    file.Write(header.data(), header.size());

    uint16_t vertexBase = 0;
    size_t triangleIndex = 0;
    for (int32_t i = 0; i < hmModel_GetMeshCount(model); ++i) {
        hmMesh* mesh = hmModel_GetMeshAt(model, i);
        const int32_t vertexCount = hmMesh_GetVertexCount(mesh);
        const uint8_t textureSlot = static_cast<uint8_t>(i);
        for (int32_t t = 0; t < hmMesh_GetTriangleCount(mesh); ++t) {
            uint16_t corners[3] = {0, 0, 0};
            hmTriangle_GetVertexIndices(hmMesh_GetTriangleAt(mesh, t), corners);

            std::array<uint8_t, kPolygonRecordSize> record{};
            for (int k = 0; k < 3; ++k) {
                float uv[2] = {0.0f, 0.0f};
                if (const size_t at = 2 * (3 * triangleIndex + k); at + 1 < cornerTexCoords.size()) {
                    uv[0] = cornerTexCoords[at];
                    uv[1] = cornerTexCoords[at + 1];
                } else if (corners[k] < vertexCount) {
                    hmVertex_GetTexCoords(hmMesh_GetVertexAt(mesh, corners[k]), uv);
                }
                log.Print("HM uv coords - ", Fixed{uv[0]}, " ", Fixed{uv[1]}, "\n");
                record[8 + 2 * k] = QuantiseTexCoord(uv[0]);
                record[9 + 2 * k] = QuantiseTexCoord(uv[1]);
                log.Print("VT uv coords - ", record[8 + 2 * k], " ", record[9 + 2 * k], "\n");
                corners[k] = static_cast<uint16_t>(corners[k] + vertexBase);
                StoreU16(&record[2 * k], corners[k]);
            }
            record[6] = triangleIndex < triangleTypes.size() ? triangleTypes[triangleIndex] : 1;  // polyType
            ++triangleIndex;
            record[7] = 255;  // color
            record[14] = textureSlot;
            record[15] = 0;   // polyFlags
            log.Print("To file - Poly: ", corners[0], " ", corners[1], " ", corners[2]);
            for (size_t field = 6; field < kPolygonRecordSize; ++field) log.Print(" ", record[field]);
            log.Print("\n");
            file.Write(record.data(), record.size());
        }
        vertexBase = static_cast<uint16_t>(vertexBase + vertexCount);
    }
    log.Print("End of _d.3d file\n");
    return vertexTotal;
}
