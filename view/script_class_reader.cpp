#include "view/script_class_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

namespace view {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool SameName(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// One directive: its words before the first KEY=VALUE, and the pairs (keys in
// upper case). A value may be quoted to hold blanks.
struct Directive {
    std::vector<std::string> words;
    std::map<std::string, std::string> values;
};

Directive SplitDirective(const std::string& line) {
    Directive directive;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
        if (at >= line.size()) break;
        size_t start = at;
        while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at])) && line[at] != '=') ++at;
        std::string word = line.substr(start, at - start);
        if (at < line.size() && line[at] == '=') {
            ++at;
            std::string value;
            if (at < line.size() && line[at] == '"') {
                size_t close = line.find('"', at + 1);
                if (close == std::string::npos) close = line.size();
                value = line.substr(at + 1, close - at - 1);
                at = std::min(line.size(), close + 1);
            } else {
                size_t valueStart = at;
                while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) ++at;
                value = line.substr(valueStart, at - valueStart);
            }
            directive.values[Upper(word)] = value;
        } else if (directive.values.empty()) {
            directive.words.push_back(Upper(word));
        }
    }
    return directive;
}

bool ParseInt(const std::string& text, int& value) {
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool ParseFloat(const std::string& text, float& value) {
    const char* begin = text.data();
    if (!text.empty() && text[0] == '+') ++begin;
    auto result = std::from_chars(begin, text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && std::isfinite(value);
}

class Reader {
public:
    Reader(ScriptClass& script, const std::string& meshName) : script_(script), meshName_(meshName) {}

    void Line(const std::string& raw, int number) {
        number_ = number;
        size_t start = raw.find_first_not_of(" \t");
        if (start == std::string::npos) return;
        std::string line = raw.substr(start);
        if (Upper(line.substr(0, 5)) != "#EXEC") return;
        Directive directive = SplitDirective(line.substr(5));
        const std::vector<std::string>& words = directive.words;
        if (words.size() < 2) return;
        const std::string kind = words[0] + " " + words[1];
        if (kind == "MESH IMPORT") MeshImport(directive);
        else if (kind == "MESH SEQUENCE") MeshSequence(directive);
        else if (kind == "MESHMAP SCALE") MeshMapScale(directive);
        else if (kind == "MESH ORIGIN") MeshOrigin(directive);
        else if (kind == "TEXTURE IMPORT") TextureImportLine(directive);
        else if (kind == "MESHMAP SETTEXTURE") SetTexture(directive);
    }

private:
    std::string Where() const { return "line " + std::to_string(number_) + ": "; }
    void Problem(const std::string& text) { script_.problems.push_back(Where() + text); }

    // A directive naming another mesh does not concern this set.
    bool Concerns(const Directive& directive, const std::string& key) {
        auto found = directive.values.find(key);
        if (found == directive.values.end()) {
            Problem("no " + key + "=");
            return false;
        }
        if (!SameName(found->second, meshName_)) {
            script_.notes.push_back(Where() + key + "=" + found->second + " is not this set's " + meshName_ +
                                    "; the line is left out");
            return false;
        }
        return true;
    }

    bool Int(const Directive& directive, const std::string& key, int& value) {
        auto found = directive.values.find(key);
        if (found == directive.values.end()) {
            Problem("no " + key + "=");
            return false;
        }
        if (!ParseInt(found->second, value)) {
            Problem(key + "=" + found->second + " is not a whole number");
            return false;
        }
        return true;
    }

    void MeshImport(const Directive& directive) {
        auto mesh = directive.values.find("MESH");
        script_.importMesh = mesh == directive.values.end() ? std::string() : mesh->second;
        auto anim = directive.values.find("ANIVFILE");
        auto data = directive.values.find("DATAFILE");
        if (anim != directive.values.end()) script_.animFile = anim->second;
        if (data != directive.values.end()) script_.dataFile = data->second;
        if (anim == directive.values.end() || data == directive.values.end())
            Problem("MESH IMPORT without ANIVFILE= or DATAFILE=");
    }

    void MeshSequence(const Directive& directive) {
        if (!Concerns(directive, "MESH")) return;
        Sequence sequence;
        sequence.line = number_;
        auto name = directive.values.find("SEQ");
        if (name == directive.values.end() || name->second.empty()) return Problem("MESH SEQUENCE without SEQ=");
        sequence.name = name->second;
        if (!Int(directive, "STARTFRAME", sequence.firstFrame) || !Int(directive, "NUMFRAMES", sequence.frameCount))
            return;
        auto rate = directive.values.find("RATE");
        if (rate != directive.values.end() && (!ParseFloat(rate->second, sequence.rate) || sequence.rate <= 0))
            return Problem("sequence " + sequence.name + ": RATE=" + rate->second + " is not a positive number");
        if (rate != directive.values.end() && (sequence.rate < kMinRate || sequence.rate > kMaxRate)) {
            char range[64];
            std::snprintf(range, sizeof range, "%g to %g", kMinRate, kMaxRate);
            return Problem("sequence " + sequence.name + ": RATE=" + rate->second + " is outside " + range +
                           " frames a second");
        }
        auto [earlier, added] = sequenceLines_.try_emplace(Upper(sequence.name), number_);
        if (!added)
            return Problem("sequence " + sequence.name + " is declared again (first on line " +
                           std::to_string(earlier->second) + ")");
        script_.sequences.push_back(sequence);
    }

    // An axis not given keeps its default (the compiler's 1 for a scale, 0 for an origin).
    bool Axes(const Directive& directive, const std::string& kind, std::array<float, 3>& values) {
        const char* keys[3] = {"X", "Y", "Z"};
        for (int axis = 0; axis < 3; ++axis) {
            auto found = directive.values.find(keys[axis]);
            if (found == directive.values.end()) continue;
            if (!ParseFloat(found->second, values[axis])) {
                Problem(kind + " " + keys[axis] + "=" + found->second + " is not a number");
                return false;
            }
        }
        return true;
    }

    void MeshMapScale(const Directive& directive) {
        if (!Concerns(directive, "MESHMAP")) return;
        std::array<float, 3> scale{1, 1, 1};
        if (!Axes(directive, "MESHMAP SCALE", scale)) return;
        script_.hasScale = true;
        script_.scale = scale;
    }

    void MeshOrigin(const Directive& directive) {
        if (!Concerns(directive, "MESH")) return;
        std::array<float, 3> origin{0, 0, 0};
        if (Axes(directive, "MESH ORIGIN", origin)) script_.origin = origin;
    }

    void TextureImportLine(const Directive& directive) {
        auto name = directive.values.find("NAME");
        auto file = directive.values.find("FILE");
        if (name == directive.values.end() || file == directive.values.end())
            return Problem("TEXTURE IMPORT without NAME= or FILE=");
        TextureImport texture{name->second, file->second, number_};
        int flags = 0;
        auto given = directive.values.find("FLAGS");
        if (given != directive.values.end() && Int(directive, "FLAGS", flags)) texture.masked = (flags & 2) != 0;
        script_.textures.push_back(texture);
    }

    void SetTexture(const Directive& directive) {
        if (!Concerns(directive, "MESHMAP")) return;
        TextureAssignment assignment;
        assignment.line = number_;
        if (!Int(directive, "NUM", assignment.slot)) return;
        if (assignment.slot < 0 || assignment.slot > 255)
            return Problem("NUM=" + std::to_string(assignment.slot) + " is not a texture slot (0 to 255)");
        auto texture = directive.values.find("TEXTURE");
        if (texture == directive.values.end()) return Problem("MESHMAP SETTEXTURE without TEXTURE=");
        assignment.texture = texture->second;
        script_.assignments.push_back(assignment);
    }

    ScriptClass& script_;
    const std::string& meshName_;
    int number_ = 0;
    std::map<std::string, int> sequenceLines_;  // each sequence's name in upper case -> its line
};

}  // namespace

ScriptClass ReadScriptClass(const std::string& text, const std::string& meshName) {
    ScriptClass script;
    Reader reader(script, meshName);
    std::istringstream lines(text);
    std::string line;
    bool inBlockComment = false;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Directives inside a block comment are not compiled.
        if (inBlockComment) {
            size_t close = line.find("*/");
            if (close == std::string::npos) continue;
            inBlockComment = false;
            line = line.substr(close + 2);
        }
        size_t open = line.find("/*");
        if (open != std::string::npos && line.find("*/", open + 2) == std::string::npos) {
            inBlockComment = true;
            line.resize(open);
        }
        reader.Line(line, number);
    }
    return script;
}

}  // namespace view
