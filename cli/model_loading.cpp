#include "cli/model_loading.h"

#include "host/model_json.h"

std::string ModelArgumentHelp() { return "The model: a host model file (.hm.json)"; }

void AddModelOptions(CLI::App&, ModelOptions&) {}

LoadedModel LoadModel(const std::string& path, const ModelOptions&) {
    hm::LoadResult result = hm::LoadModelJson(path);
    LoadedModel loaded;
    loaded.model = std::move(result.model);
    loaded.error = std::move(result.error);
    loaded.warnings = std::move(result.warnings);
    return loaded;
}
