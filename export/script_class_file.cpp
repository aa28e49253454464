#include "export/script_class_file.h"

#include "export/export_log.h"
#include "host/format_limits.h"

#include <charconv>

std::string SequenceLine(const std::string& meshName, const AnimationSequence& sequence) {
    std::string rate;
    if (sequence.rate != kDefaultSequenceRate) {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, sequence.rate, std::chars_format::fixed).ptr;
        rate = " RATE=" + std::string(text, end);
    }
    return "#exec MESH SEQUENCE MESH=" + meshName + " SEQ=" + sequence.name +
           " STARTFRAME=" + std::to_string(sequence.startFrame) + " NUMFRAMES=" + std::to_string(sequence.frameCount) +
           rate + "\n";
}

void WriteScriptClassFile(hmModel* model, OutputFile& file, const std::string& meshName, uint16_t frameCount,
                          float scale, ExportLog& log, const std::vector<AnimationSequence>& sequences) {
    const float invScale = 1.0f / scale;
    const std::string& m = meshName;
    TextOutput out(file);
    out.Print("///////////////////////////////////////////////////\n");
    out.Print("// ", m, ".\n");
    out.Print("///////////////////////////////////////////////////\n\n");
    out.Print("class ", m, " extends Actor;\n\n");
    out.Print("#exec MESH IMPORT MESH=", m, " ANIVFILE=MODELS\\", m, "_a.3d DATAFILE=MODELS\\", m,
              "_d.3d X=0 Y=0 Z=0\n");
    out.Print("#exec MESH ORIGIN MESH=", m, " X=0 Y=0 Z=0\n\n");
    out.Print(SequenceLine(m, {"All", 0, frameCount}));
    out.Print("// add further '#exec MESH SEQUENCE' lines here to define additional animation sections\n");
    for (const AnimationSequence& sequence : sequences) out.Print(SequenceLine(m, sequence));
    out.Print("\n");
    out.Print("#exec MESHMAP NEW MESHMAP=", m, " MESH=", m, "\n");
    out.Print("\n\n//Edit X, Y, and Z values in line below to change size of mesh in game\n");
    out.Print("#exec MESHMAP SCALE MESHMAP=", m, " X=", Fixed{invScale}, " Y=", Fixed{invScale}, " Z=",
              Fixed{invScale}, "\n\n");
    const int32_t materialCount = hmModel_GetMaterialCount(model);
    for (int32_t i = 0; i < materialCount; ++i) {
        char texture[hm::kNameField] = {};
        hmMaterial_GetDiffuseTexture(hmModel_GetMaterialAt(model, i), texture, sizeof texture);
        texture[sizeof texture - 1] = '\0';
        int control = 0, splitting = 0;
        for (char* c = texture; *c; ++c) {
            if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '_', ++control;
            else if (*c == ' ' || *c == ',' || *c == '=') *c = '_', ++splitting;
        }
        if (control)
            log.Print("Texture name of material ", i, " holds ", control,
                      " control character(s); each written as _: ", texture, "\n");
        if (splitting)
            log.Print("Texture name of material ", i, " holds ", splitting,
                      " space(s), ',' or '=' that would split the directive; each written as _: ", texture, "\n");
        out.Print("#exec TEXTURE IMPORT NAME=", m, "Tex", i, " FILE=textures\\", texture, " GROUP=Skins FLAGS=2\n");
        out.Print("#exec MESHMAP SETTEXTURE MESHMAP=", m, " NUM=", i, " TEXTURE=", m, "Tex", i, "\n");
        out.Print("\n");
    }
    out.Print("\ndefaultproperties\n{\n");
    out.Print("    DrawType=DT_Mesh\n");
    out.Print("    Mesh=", m, "\n");
    out.Print("}\n");
}
