// JSON values against two well-known libraries doing the same job: parse text held in
// memory into a tree and write the tree back to UTF-8 text. Ours parses wide text, so
// each parse is measured twice: from the wide text that FromText takes (as the anchors
// parse from their own UTF-8 input) and from UTF-8 bytes through FromUtf8Text, as a
// caller holding bytes from the network does. Two inputs: a ~1 MB generated document
// (nesting, escapes, non-ASCII text) and a message of about 1.5 KiB like those of the push service
// and the browser viewers. Every parse makes a new tree and every write a new output.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "bench/bench_support.h"
#include "core/json_object.h"
#include "core/text_utils.h"

namespace {

// ---- Inputs -------------------------------------------------------------------------

using qav::bench::Random;

// The inside of a JSON string: ASCII words, escapes, text in Latin, Cyrillic and CJK
// scripts and a character beyond the basic plane.
std::string TextRun(Random& random) {
    static const char* const kPieces[] = {
        "sensor",
        "reading",
        "\\\"quoted\\\"",
        "back\\\\slash",
        "line\\nbreak",
        "tab\\t",
        "\\u00e9t\\u00e9",
        "a\\/b",
        "caf\xC3\xA9",
        "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80",  // Cyrillic
        "\xE4\xB8\xAD\xE6\x96\x87",                          // CJK
        "\xF0\x9F\x98\x80",                                  // beyond the basic plane
        "status",
        "42",
        "ok",
        "channel",
    };
    return qav::bench::WordRun(random, kPieces, 2, 8);
}

std::string Record(Random& random, uint32_t id) {
    const std::string number = std::to_string(id);
    std::string text = "{\"id\":" + number + ",\"name\":\"" + TextRun(random) +
                       "\",\"enabled\":" + (random.Next(2) != 0 ? "true" : "false") +
                       ",\"scale\":" + std::to_string(random.Next(100000)) + ".25,\"tags\":[";
    for (uint32_t i = random.Next(5); i > 0; --i) {
        text += "\"" + TextRun(random) + "\",";
    }
    text += "null],\"position\":{\"x\":" + std::to_string(random.Next(4000)) + ",\"y\":-" +
            std::to_string(random.Next(4000)) + ",\"history\":[[1,2],[3," + number +
            "],{\"at\":1.5e3}]},\"note\":\"" + TextRun(random) + "\"}";
    return text;
}

std::string LargeDocument() {
    constexpr size_t kTargetBytes = 1000 * 1000;
    Random random;
    std::string text = "{\"version\":3,\"source\":\"bench\",\"records\":[";
    for (uint32_t id = 1; text.size() < kTargetBytes; ++id) {
        text += (id > 1 ? ",\n" : "") + Record(random, id);
    }
    text += "]}";
    return text;
}

// A message as the push service or a browser viewer sends one.
std::string Message() {
    Random random;
    std::string text =
        "{\"type\":\"DeviceEvent\",\"id\":1234567,\"sender\":\"node-7\","
        "\"time\":\"2026-03-01T12:00:00Z\",\"parameters\":[";
    for (int i = 0; i < 16; ++i) {
        text += (i > 0 ? "," : "");
        text += "{\"name\":\"Parameter" + std::to_string(i) +
                "\",\"value\":" + std::to_string(random.Next(1000000)) + ",\"text\":\"Door \\\"" +
                std::to_string(i) + "\\\" opened\"}";
    }
    text +=
        "],\"device\":{\"name\":\"Entr\xC3\xA9"
        "e\",\"online\":true,\"level\":0.75}}";
    return text;
}

const std::string& Input(int which) {
    static const std::string kLarge = LargeDocument();
    static const std::string kMessage = Message();
    return which == 0 ? kLarge : kMessage;
}

void CountBytes(benchmark::State& state, const std::string& input) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

// ---- qav ------------------------------------------------------------------------------

qav::WString WideOf(const std::string& input) {
    qav::WString wide;
    qav::Utf8ToWide(input.data(), static_cast<int>(input.size()), wide, nullptr);
    return wide;
}

bool ParseQavText(const std::string& input, qav::JsonObject& value) {
    return value.FromUtf8Text(input);
}

// From the wide text that FromText takes, as the anchors parse from their own input form.
template <int kInput>
void ParseQav(benchmark::State& state) {
    const std::string& input = Input(kInput);
    const qav::WString wide = WideOf(input);
    for (auto _ : state) {
        qav::JsonObject value;
        if (!value.FromText(wide.c_str())) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    CountBytes(state, input);
}

// From UTF-8 bytes, as a caller holding bytes does.
template <int kInput>
void ParseQavFromUtf8(benchmark::State& state) {
    const std::string& input = Input(kInput);
    for (auto _ : state) {
        qav::JsonObject value;
        if (!ParseQavText(input, value)) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    CountBytes(state, input);
}

template <int kInput>
void WriteQav(benchmark::State& state) {
    const std::string& input = Input(kInput);
    qav::JsonObject value;
    if (!ParseQavText(input, value)) {
        state.SkipWithError("parse failed");
        return;
    }
    for (auto _ : state) {
        std::string out;
        value.ToText(out);
        benchmark::DoNotOptimize(out.data());
    }
    CountBytes(state, input);
}

// ---- nlohmann::json --------------------------------------------------------------------

template <int kInput>
void ParseNlohmann(benchmark::State& state) {
    const std::string& input = Input(kInput);
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(input, nullptr, false);
        if (value.is_discarded()) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    CountBytes(state, input);
}

template <int kInput>
void WriteNlohmann(benchmark::State& state) {
    const std::string& input = Input(kInput);
    const nlohmann::json value = nlohmann::json::parse(input, nullptr, false);
    for (auto _ : state) {
        std::string out = value.dump();
        benchmark::DoNotOptimize(out.data());
    }
    CountBytes(state, input);
}

// ---- RapidJSON -------------------------------------------------------------------------

template <int kInput>
void ParseRapidjson(benchmark::State& state) {
    const std::string& input = Input(kInput);
    for (auto _ : state) {
        rapidjson::Document document;
        if (document.Parse(input.data(), input.size()).HasParseError()) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    CountBytes(state, input);
}

template <int kInput>
void WriteRapidjson(benchmark::State& state) {
    const std::string& input = Input(kInput);
    rapidjson::Document document;
    document.Parse(input.data(), input.size());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        document.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    CountBytes(state, input);
}

// ---- Registration ----------------------------------------------------------------------

#define QAV_JSON_CASE(name, input, qav, nlohmann, rapidjson)   \
    BENCHMARK(qav<input>)->Name(name "/qav");                  \
    BENCHMARK(nlohmann<input>)->Name(name "/anchor-nlohmann"); \
    BENCHMARK(rapidjson<input>)->Name(name "/anchor-rapidjson")

QAV_JSON_CASE("json_parse_1MB", 0, ParseQav, ParseNlohmann, ParseRapidjson);
QAV_JSON_CASE("json_parse_utf8_1MB", 0, ParseQavFromUtf8, ParseNlohmann, ParseRapidjson);
QAV_JSON_CASE("json_write_1MB", 0, WriteQav, WriteNlohmann, WriteRapidjson);
QAV_JSON_CASE("json_parse_message", 1, ParseQav, ParseNlohmann, ParseRapidjson);
QAV_JSON_CASE("json_parse_utf8_message", 1, ParseQavFromUtf8, ParseNlohmann, ParseRapidjson);
QAV_JSON_CASE("json_write_message", 1, WriteQav, WriteNlohmann, WriteRapidjson);

}  // namespace
