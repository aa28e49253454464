// The mesh data file ("_d.3d"): a 48-byte header with the polygon and vertex
// totals, then one 16-byte record per triangle of every mesh.
#pragma once

#include "export/export_log.h"
#include "output/output_file.h"
#include "host/format_limits.h"
#include "host/hm_model_lib.h"

#include <cstdint>
#include <vector>

inline constexpr size_t kDataHeaderSize = hm::kDataHeaderBytes;
inline constexpr size_t kPolygonRecordSize = hm::kPolygonRecordBytes;

// Walks the model twice (totals, then records), holding no polygon beyond the
// one being written, and traces every value in the log. Returns the model's
// vertex total (modulo 65536) for the animation file.
//
// A corner index at or beyond its mesh's vertex count (which the host should
// never report) keeps its index in the record, with vertexBase added as for
// any corner, and gets texture coordinates (0, 0): the vertex is not asked for
// its coordinates, since there is none.
//
// triangleTypes, when the host program knows them (from the materials of the
// file it read), gives each triangle's type byte in model order; a triangle
// past its end, and every triangle of a modelling host's model, is type 1.
//
// cornerTexCoords, when the host program joined vertices that differ only in
// their texture coordinates, gives each corner's (u, v), three corners a
// triangle in model order; a corner past its end takes its vertex's.
uint16_t WriteMeshDataFile(hmModel* model, OutputFile& file, ExportLog& log,
                           const std::vector<uint8_t>& triangleTypes = {},
                           const std::vector<float>& cornerTexCoords = {});
