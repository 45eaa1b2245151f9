// Prints the function table as JSON: names, parameters with their type words,
// the kind of result and its members, family, warm-up and docstring. The
// build turns this into the type stubs, tools/render_table.py into the
// function reference, so neither can drift from the table.
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "module/stream_table.hpp"
#include "module/table.hpp"

namespace {

using namespace korva;

const char* type_word(args::Type t) {
    switch (t) {
        case args::Type::Series: return "series";
        case args::Type::Candles: return "candles";
        case args::Type::CandlesMut: return "candles_mut";
        case args::Type::Int64Series: return "int64_series";
        case args::Type::Uint: return "uint";
        case args::Type::Int: return "int";
        case args::Type::Float: return "float";
        case args::Type::Str: return "str";
        case args::Type::Bool: return "bool";
    }
    return "?";
}

const char* result_word(table::Result r) {
    switch (r) {
        case table::Result::None: return "none";
        case table::Result::Float: return "float";
        case table::Result::Int: return "int";
        case table::Result::Series: return "series";
        case table::Result::Mask: return "mask";
        case table::Result::Matrix: return "matrix";
        case table::Result::Tuple: return "tuple";
        case table::Result::Dict: return "dict";
    }
    return "?";
}

const char* item_word(table::Item i) {
    switch (i) {
        case table::Item::Series: return "series";
        case table::Item::Mask: return "mask";
        case table::Item::Float: return "float";
    }
    return "?";
}

const char* fill_word(table::Fill f) {
    switch (f) {
        case table::Fill::NaN: return "nan";
        case table::Fill::Zero: return "zeros";
        case table::Fill::Copy: return "copies";
    }
    return "?";
}

nlohmann::json text_or_null(const char* s) { return s ? nlohmann::json(s) : nlohmann::json(nullptr); }

// The warm-up as data: tools/render_table.py words it, the tests evaluate it.
nlohmann::json warmups(const table::Function& f) {
    if (f.warmup_count == 0) return nullptr;
    nlohmann::json out = nlohmann::json::array();
    for (std::size_t i = 0; i < f.warmup_count; ++i) {
        const table::Warmup& w = f.warmups[i];
        out.push_back({{"count", w.count},
                       {"fill", fill_word(w.fill)},
                       {"of", text_or_null(w.of)},
                       {"members", text_or_null(w.members)},
                       {"note", text_or_null(w.note)}});
    }
    return out;
}

// How the function streams (korva_rust.stream), or null.
nlohmann::json stream_of(const char* name) {
    const stream::Entry* e = stream::find(name);
    return e ? nlohmann::json(stream::approach_name(e->approach)) : nlohmann::json(nullptr);
}

}  // namespace

// Writes to the file named by the first argument, or to standard output.
int main(int argc, char** argv) {
    using nlohmann::json;
    json families = json::array();
    for (std::size_t f = 0; f < table::kFamilies; ++f) {
        families.push_back(table::family_name(static_cast<table::Family>(f)));
    }
    json functions = json::array();
    for (const table::Function& f : table::functions()) {
        json params = json::array();
        for (std::size_t i = 0; i < f.count; ++i) {
            params.push_back({{"name", f.params[i].name}, {"type", type_word(f.params[i].type)}});
        }
        json outputs = json::array();
        for (std::size_t i = 0; i < f.output_count; ++i) {
            outputs.push_back({{"name", f.outputs[i].name}, {"type", item_word(f.outputs[i].item)}});
        }
        // run_coordinator has no computation: it serves until the process ends.
        const char* result = f.impl ? result_word(f.result) : "noreturn";
        functions.push_back({{"name", f.name},
                             {"family", table::family_name(f.family)},
                             {"params", params},
                             {"result", result},
                             {"outputs", outputs},
                             {"warmup", warmups(f)},
                             {"stream", stream_of(f.name)},
                             {"doc", f.description}});
    }
    const json out = {{"module", "korva_rust"}, {"families", families}, {"functions", functions}};
    if (argc > 1) {
        std::ofstream file(argv[1], std::ios::binary);
        file << out.dump(1) << '\n';
        return file.good() ? 0 : 1;
    }
    std::cout << out.dump(1) << '\n';
    return std::cout.good() ? 0 : 1;
}
