#include "cli/class_name.h"

#include <algorithm>
#include <iterator>
#include <cctype>
#include <string_view>

namespace {

// The script language's reserved words: its declarations, statements, literals
// and built-in types. A class may not take any of them.
constexpr std::string_view kReserved[] = {
    "array", "bool", "break", "byte", "case", "class", "const", "continue", "default", "defaultproperties",
    "do", "else", "enum", "event", "extends", "false", "float", "for", "foreach", "function", "goto", "if", "int",
    "local", "name", "native", "new", "none", "operator", "replication", "return", "rotator", "self", "state",
    "static", "string", "struct", "super", "switch", "true", "until", "var", "vector", "while"};

// The classes of the engine's core and engine packages that a mod names or
// extends: a class of the same name hides them or extends itself.
constexpr std::string_view kEngineClasses[] = {
    "Object", "Actor", "Pawn", "PlayerPawn", "ScriptedPawn", "Bot", "Inventory", "Weapon", "Ammo", "Pickup",
    "Powerup", "Projectile", "Decoration", "Effects", "Brush", "Mover", "Info", "ZoneInfo", "LevelInfo",
    "GameInfo", "ReplicationInfo", "PlayerReplicationInfo", "GameReplicationInfo", "Keypoint", "Light", "Trigger",
    "Triggers", "NavigationPoint", "PathNode", "PlayerStart", "Teleporter", "HUD", "Menu", "Canvas", "Console",
    "Texture", "Bitmap", "Palette", "Sound", "Music", "Font", "Mesh", "LodMesh", "Model", "Primitive", "Level",
    "Class", "Field", "Struct", "Function", "State", "Enum", "Const", "Property", "Package", "Commandlet",
    "Subsystem", "Engine", "Player", "Viewport", "Camera", "Actors"};

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

template <size_t N>
bool Among(const std::string_view (&names)[N], const std::string& name) {
    return std::any_of(std::begin(names), std::end(names), [&](std::string_view known) { return SameIgnoringCase(known, name); });
}

bool Taken(const std::string& name) { return Among(kReserved, name) || Among(kEngineClasses, name); }

}  // namespace

// Letters, digits and '_' in place of anything else, a leading digit behind
// "Model", and a taken name followed by "Model".
std::string SuggestClassName(const std::string& name) {
    std::string suggestion;
    for (unsigned char c : name) suggestion += std::isalnum(c) || c == '_' ? char(c) : '_';
    if (suggestion.empty() || std::isdigit(static_cast<unsigned char>(suggestion[0]))) suggestion = "Model" + suggestion;
    if (Taken(suggestion)) suggestion += "Model";
    return suggestion;
}

std::string ClassNameProblem(const std::string& name) {
    bool characters = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]));
    for (unsigned char c : name) characters = characters && c < 0x80 && (std::isalnum(c) || c == '_');
    if (!characters)
        return "the class would be named \"" + name +
               "\", which the engine cannot compile (letters, digits and '_', not starting with a digit)";
    if (Taken(name))
        return "the class would be named \"" + name + "\", a " +
               (Among(kReserved, name) ? "reserved word of the engine's script language"
                                       : "class of the engine's own, which it would hide or extend");
    return {};
}
