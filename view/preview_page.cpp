#include "view/preview_page.h"

#include "view/web_assets.h"

#include "output/output_file.h"

#include <nlohmann/json.hpp>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace view {

namespace {

// Frame data beyond this is left out of the page (with a note): browsers
// hold a page's data in one buffer, and a few hundred megabytes is already slow
// to unpack. 8191 vertices of 8192 frames fit.
constexpr size_t kMaxFrameBytesInPage = size_t{512} << 20;
// The base64 text is split over several elements so that no single string
// the browser builds comes near its limit on string length.
constexpr size_t kBase64Chunk = size_t{8} << 20;

// JSON has no infinity or NaN (nlohmann writes null): none may reach the page.
bool Finite(const nlohmann::json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured())
        for (const nlohmann::json& item : value)
            if (!Finite(item)) return false;
    return true;
}

void Align(std::vector<uint8_t>& blob) {
    while (blob.size() % 8 != 0) blob.push_back(0);
}

nlohmann::json Section(std::vector<uint8_t>& blob, const uint8_t* data, size_t size) {
    Align(blob);
    nlohmann::json section = {{"offset", blob.size()}, {"length", size}};
    blob.insert(blob.end(), data, data + size);
    return section;
}

// The page unpacks one gzip stream: a 32-bit length, the JSON describing the
// set, then the binary sections that JSON points to, each 8-byte aligned so
// typed arrays can view them in place.
std::vector<uint8_t> BuildBlob(const ExportedSet& set, std::vector<std::string>& pageNotes) {
    std::vector<uint8_t> sections;
    nlohmann::json meta;
    meta["name"] = set.meshName;
    meta["files"] = {{"data", fs::path(set.dataPath).filename().string()},
                     {"anim", fs::path(set.animPath).filename().string()},
                     {"script", fs::path(set.scriptPath).filename().string()}};
    meta["header"] = {{"polygonCount", set.headerPolygonCount},
                      {"vertexCount", set.headerVertexCount},
                      {"frameCount", set.headerFrameCount},
                      {"frameSize", set.headerFrameSize}};
    meta["vertexCount"] = set.vertexCount;
    meta["scale"] = set.scale;
    meta["origin"] = set.origin;
    Box box = DecodedBox(set);
    meta["box"] = {{"min", box.min}, {"max", box.max}};
    const Box rest = DecodedBox(set, true);
    meta["restBox"] = {{"min", rest.min}, {"max", rest.max}};
    meta["sequences"] = nlohmann::json::array();
    for (const Sequence& sequence : set.script.sequences)
        meta["sequences"].push_back({{"name", sequence.name},
                                     {"firstFrame", sequence.firstFrame},
                                     {"frameCount", sequence.frameCount},
                                     {"rate", sequence.rate}});

    std::vector<uint8_t> polygons(set.polygons.size() * 16);
    for (size_t i = 0; i < set.polygons.size(); ++i) {
        const SetPolygon& polygon = set.polygons[i];
        uint8_t* record = polygons.data() + i * 16;
        for (int k = 0; k < 3; ++k) {
            record[2 * k] = static_cast<uint8_t>(polygon.corners[k]);
            record[2 * k + 1] = static_cast<uint8_t>(polygon.corners[k] >> 8);
            record[8 + 2 * k] = polygon.uv[k][0];
            record[9 + 2 * k] = polygon.uv[k][1];
        }
        record[6] = polygon.type;
        record[14] = polygon.textureSlot;
    }
    meta["polygons"] = Section(sections, polygons.data(), polygons.size());

    const size_t frameBytes = static_cast<size_t>(set.vertexCount) * 8;
    // The reader keeps its frames whole; a set made otherwise shows those it holds.
    size_t frames = frameBytes == 0 ? set.frameCount : std::min<size_t>(set.frameCount, set.records.size() * 2 / frameBytes);
    if (frameBytes > 0 && frames * frameBytes > kMaxFrameBytesInPage) {
        frames = kMaxFrameBytesInPage / frameBytes;
        pageNotes.push_back("the page holds the first " + std::to_string(frames) + " of " +
                            std::to_string(set.frameCount) + " frames");
    }
    meta["frameCount"] = frames;
    // Each frame less the one before, in 16-bit arithmetic: neighbouring
    // frames differ little, and the differences pack four to six times smaller.
    const size_t words = frames * frameBytes / 2;
    std::vector<int16_t> deltas(set.records.begin(), set.records.begin() + static_cast<std::ptrdiff_t>(words));
    for (size_t i = words; i-- > frameBytes / 2;)
        deltas[i] = static_cast<int16_t>(static_cast<uint16_t>(deltas[i]) -
                                         static_cast<uint16_t>(deltas[i - frameBytes / 2]));
    meta["frames"] = Section(sections, reinterpret_cast<const uint8_t*>(deltas.data()), words * 2);

    meta["textures"] = nlohmann::json::array();
    // Pages are shared: they name files relative to the set, or by name alone,
    // never by a path of the machine that wrote them.
    for (const SetTexture& texture : set.textures) {
        nlohmann::json entry = {{"slot", texture.slot},     {"name", texture.name},
                                {"file", texture.file},     {"found", texture.shownPath},
                                {"width", texture.width},   {"height", texture.height}};
        entry["masked"] = texture.masked;
        if (!texture.png.empty()) entry["png"] = Section(sections, texture.png.data(), texture.png.size());
        if (!texture.sourcePng.empty()) {
            entry["source"] = texture.sourceName;
            entry["sourcePng"] = Section(sections, texture.sourcePng.data(), texture.sourcePng.size());
        }
        meta["textures"].push_back(entry);
    }
    meta["problems"] = set.problems;
    std::vector<std::string> notes = set.notes;
    notes.insert(notes.end(), pageNotes.begin(), pageNotes.end());
    meta["notes"] = notes;

    if (!Finite(meta)) throw std::domain_error("a number of the page would be infinite or not a number");
    const std::string json = meta.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::vector<uint8_t> blob(4);
    const uint32_t length = static_cast<uint32_t>(json.size());
    for (int i = 0; i < 4; ++i) blob[i] = static_cast<uint8_t>(length >> (8 * i));
    blob.insert(blob.end(), json.begin(), json.end());
    Align(blob);
    // Sections were aligned relative to their own start; the JSON's offsets
    // count from there, and the page adds where they begin.
    blob.insert(blob.end(), sections.begin(), sections.end());
    return blob;
}

Error Gzip(const std::vector<uint8_t>& input, std::vector<uint8_t>& output) {
    z_stream stream{};
    if (const int started = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
        started != Z_OK)
        return Fault(started == Z_MEM_ERROR ? ErrorKind::kOutOfMemory : ErrorKind::kWriteFailed,
                     "cannot start compression");
    // zlib names the system it was built for in the header: name Unix on
    // every system, so that a page is the same bytes wherever it was written.
    gz_header header{};
    header.os = 3;
    deflateSetHeader(&stream, &header);
    output.resize(deflateBound(&stream, input.size()));
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(0);
    stream.next_out = output.data();
    size_t remaining = input.size();
    int status = Z_OK;
    // zlib counts in 32 bits: feed the input in pieces.
    while (status == Z_OK) {
        if (stream.avail_in == 0 && remaining > 0) {
            stream.avail_in = static_cast<uInt>(std::min<size_t>(remaining, 1u << 30));
            remaining -= stream.avail_in;
        }
        size_t room = output.size() - (stream.next_out - output.data());
        stream.avail_out = static_cast<uInt>(std::min<size_t>(room, 1u << 30));
        status = deflate(&stream, remaining == 0 ? Z_FINISH : Z_NO_FLUSH);
    }
    output.resize(stream.next_out - output.data());
    deflateEnd(&stream);
    if (status != Z_STREAM_END) return Fault(ErrorKind::kWriteFailed, "compression failed");
    return {};
}

void AppendBase64(const uint8_t* data, size_t size, std::string& out) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t n = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        out += {digits[n >> 18], digits[(n >> 12) & 63], digits[(n >> 6) & 63], digits[n & 63]};
    }
    if (size - i == 1) {
        uint32_t n = data[i] << 16;
        out += {digits[n >> 18], digits[(n >> 12) & 63], '=', '='};
    } else if (size - i == 2) {
        uint32_t n = data[i] << 16 | data[i + 1] << 8;
        out += {digits[n >> 18], digits[(n >> 12) & 63], digits[(n >> 6) & 63], '='};
    }
}

std::string EscapeHtml(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

// The template's markers, in the order they appear, each replaced once.
std::string FillTemplate(const std::string& title, const std::string& data) {
    const std::string_view page = web_assets::kPreviewHtml;
    const std::pair<std::string_view, std::string_view> fills[] = {
        {"@TITLE@", title}, {"/*@STYLE@*/", web_assets::kPreviewCss}, {"<!--@DATA@-->", data},
        {"//@SCRIPT@", web_assets::kPreviewJs}};
    std::string out;
    out.reserve(page.size() + data.size() + web_assets::kPreviewJs.size() + web_assets::kPreviewCss.size());
    size_t at = 0;
    for (const auto& [marker, fill] : fills) {
        size_t found = page.find(marker, at);
        if (found == std::string_view::npos) continue;
        out.append(page.substr(at, found - at));
        out.append(fill);
        at = found + marker.size();
    }
    out.append(page.substr(at));
    return out;
}

}  // namespace

std::string PreviewPagePath(const std::string& anyFileOfTheSet) { return SetBasePath(anyFileOfTheSet) + ".html"; }

Error BuildPreviewPage(const ExportedSet& set, std::string& html) {
    html.clear();
    try {
        std::vector<std::string> pageNotes;
        std::vector<uint8_t> compressed;
        if (Error error = Gzip(BuildBlob(set, pageNotes), compressed)) return error;
        std::string data;
        for (size_t at = 0; at < compressed.size(); at += kBase64Chunk / 4 * 3) {
            data += "<script type=\"application/octet-stream\" class=\"set-data\">";
            AppendBase64(compressed.data() + at, std::min(compressed.size() - at, kBase64Chunk / 4 * 3), data);
            data += "</script>\n";
        }
        html = FillTemplate(EscapeHtml(set.meshName), data);
    } catch (const std::bad_alloc&) {
        html.clear();
        return Fault(ErrorKind::kOutOfMemory, "not enough memory to build the page");
    } catch (const std::domain_error& error) {
        html.clear();
        return Fault(ErrorKind::kBadInput, error.what());
    }
    return {};
}

Error WritePreviewPage(const ExportedSet& set, const std::string& pagePath) {
    std::string html;
    if (Error error = BuildPreviewPage(set, html)) return error;
    OutputFile out;
    if (out.Open(pagePath)) out.Write(html);
    if (!out.IsOpen() || !out.Commit()) return Fault(ErrorKind::kWriteFailed, out.Error());
    return {};
}

}  // namespace view
