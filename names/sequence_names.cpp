#include "names/sequence_names.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace hm::imp {
namespace {

std::string Word(std::string name) {
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
    return name;
}

// The script compiler reads names without regard to case.
std::string Folded(std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::vector<std::string> Parts(const std::string& name) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        size_t end = name.find('|', start);
        if (end == std::string::npos) end = name.size();
        if (end > start) parts.push_back(Word(name.substr(start, end - start)));
        start = end + 1;
    }
    if (parts.empty()) parts.push_back("clip");
    return parts;
}

// The last `count` parts, joined into one word.
std::string LastParts(const std::vector<std::string>& parts, size_t count) {
    std::string word;
    for (size_t i = parts.size() - count; i < parts.size(); ++i) word += (word.empty() ? "" : "_") + parts[i];
    return word;
}

std::string WithoutLeadingUnderscores(const std::string& word) {
    const size_t first = word.find_first_not_of('_');
    return first == std::string::npos ? word : word.substr(first);
}

std::string Tail(const std::string& word, size_t limit) {
    return word.size() <= limit ? word : WithoutLeadingUnderscores(word.substr(word.size() - limit));
}

// The indices of the names that share their (folded) name with another.
std::vector<std::vector<size_t>> AlikeGroups(const std::vector<std::string>& names) {
    std::map<std::string, std::vector<size_t>> byName;
    for (size_t i = 0; i < names.size(); ++i) byName[Folded(names[i])].push_back(i);
    std::vector<std::vector<size_t>> groups;
    for (auto& [name, group] : byName)
        if (group.size() > 1) groups.push_back(std::move(group));
    return groups;
}

}  // namespace

std::vector<std::string> SequenceNames(const std::vector<std::string>& clipNames) {
    const size_t n = clipNames.size();
    std::vector<std::vector<std::string>> parts;
    for (const std::string& name : clipNames) parts.push_back(Parts(name));

    // From the take alone, growing towards the front only where names meet.
    std::vector<size_t> depth(n, 1);
    std::vector<std::string> full(n);
    for (bool grown = true; grown;) {
        grown = false;
        for (size_t i = 0; i < n; ++i) full[i] = LastParts(parts[i], depth[i]);
        for (const std::vector<size_t>& group : AlikeGroups(full))
            for (size_t i : group)
                if (depth[i] < parts[i].size()) ++depth[i], grown = true;
    }

    std::vector<std::string> names(n);
    for (size_t i = 0; i < n; ++i) names[i] = Tail(full[i], kSequenceNameLimit);
    // A cut end that meets another name: keep the words from where the full names differ.
    for (const std::vector<size_t>& group : AlikeGroups(names)) {
        for (size_t i : group) {
            if (full[i].size() <= kSequenceNameLimit) continue;
            const std::string mine = Folded(full[i]);
            size_t differ = 0;
            for (size_t j : group) {
                if (j == i) continue;
                const std::string other = Folded(full[j]);
                const size_t common =
                    std::mismatch(mine.begin(), mine.end(), other.begin(), other.end()).first - mine.begin();
                differ = std::max(differ, common);
            }
            if (differ >= full[i].size()) continue;
            const size_t underscore = full[i].rfind('_', differ);
            const size_t start = underscore == std::string::npos ? 0 : underscore + 1;
            names[i] = WithoutLeadingUnderscores(full[i].substr(start, kSequenceNameLimit));
        }
    }

    // Names alike in full: the later ones numbered.
    std::set<std::string> taken;
    for (const std::string& name : names) taken.insert(Folded(name));
    std::set<std::string> seen;
    for (std::string& name : names) {
        if (seen.insert(Folded(name)).second) continue;
        for (int number = 2;; ++number) {
            const std::string suffix = "_" + std::to_string(number);
            const std::string numbered = Tail(name, kSequenceNameLimit - suffix.size()) + suffix;
            if (taken.insert(Folded(numbered)).second) {
                name = numbered;
                seen.insert(Folded(name));
                break;
            }
        }
    }
    return names;
}

}  // namespace hm::imp
