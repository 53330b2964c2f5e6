// The XML document model against three well-known parsers doing the same job: parse a
// UTF-8 text held in memory into a tree and write the tree back to UTF-8 text. libxml2
// and pugixml keep UTF-8 trees; Xerces-C keeps a UTF-16 tree, as ours does. Two inputs:
// a ~10 MB generated file (namespaces, the five escapes, character references, non-ASCII
// text) and a one-line message of about 3 KiB like the protocol's own. Every parse makes
// a new tree and every write a new output, as a program handling messages does.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <string>

#include "bench/bench_support.h"
#include "core/xml_document.h"

namespace {

// ---- Inputs -------------------------------------------------------------------------

using qav::bench::Random;

// One line of character data: ASCII words, the five escapes, references and text in
// Latin, Cyrillic and CJK scripts.
std::string TextRun(Random& random) {
    static const char* const kPieces[] = {
        "sensor",
        "reading",
        "&lt;",
        "&gt;",
        "&amp;",
        "&quot;",
        "&apos;",
        "&#233;",
        "&#x20AC;",
        "caf\xC3\xA9",
        "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80",  // Cyrillic
        "\xE4\xB8\xAD\xE6\x96\x87",                          // CJK
        "status",
        "42",
        "ok",
        "channel",
        "\xC3\xBC\x62\x65r",
    };
    return qav::bench::WordRun(random, kPieces, 4, 12);
}

std::string LargeDocument() {
    constexpr size_t kTargetBytes = 10 * 1000 * 1000;
    Random random;
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<catalog xmlns=\"urn:bench:items\" xmlns:m=\"urn:bench:meta\" m:version=\"3\">\n";
    for (uint32_t id = 1; text.size() < kTargetBytes; ++id) {
        const std::string number = std::to_string(id);
        text += "<m:record id=\"" + number + "\" m:kind=\"alpha &amp; beta\" title='Caf&#233; \"" +
                number + "\"' lang=\"ru\">";
        text += "<m:name>\xD0\xB7\xD0\xB0\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C " + number + "</m:name>";
        for (uint32_t i = 1 + random.Next(4); i > 0; --i) {
            text += "<text>" + TextRun(random) + "</text>";
        }
        text += "<value unit=\"ms\" scale='1e3'>" + std::to_string(random.Next(100000)) +
                ".5</value><flag/>";
        text += "<m:extra xmlns:x=\"urn:bench:extra\" x:note=\"&lt;none&gt;\">" + TextRun(random) +
                "</m:extra></m:record>\n";
    }
    text += "</catalog>\n";
    return text;
}

// A message as the relay node exchanges them: one line, a prefix, attributes.
std::string Message() {
    Random random;
    std::string text =
        "<qav:Message xmlns:qav=\"urn:qav:relay:2026\" qav:Id=\"1234567\" "
        "qav:Sender=\"node-7\" qav:Time=\"2026-03-01T12:00:00Z\" qav:Type=\"DeviceEvent\">";
    for (int i = 0; i < 36; ++i) {
        const std::string number = std::to_string(i);
        text += "<qav:Parameter qav:Name=\"Parameter" + number + "\" qav:Type=\"" +
                (i % 3 == 0 ? "Text" : "Int") + "\" qav:Value=\"" +
                std::to_string(random.Next(1000000)) + "\"/>";
        if (i % 6 == 0) {
            text += "<qav:Text>Door &quot;" + number + "&quot; opened &amp; closed</qav:Text>";
        }
    }
    text += "</qav:Message>";
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

template <int kInput>
void ParseQav(benchmark::State& state) {
    const std::string& input = Input(kInput);
    for (auto _ : state) {
        qav::XmlDocument document;
        if (!document.LoadFromText(input.data(), static_cast<int>(input.size())).IsValid()) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    CountBytes(state, input);
}

template <int kInput>
void WriteQav(benchmark::State& state) {
    const std::string& input = Input(kInput);
    qav::XmlDocument document;
    if (!document.LoadFromText(input.data(), static_cast<int>(input.size())).IsValid()) {
        state.SkipWithError("parse failed");
        return;
    }
    for (auto _ : state) {
        std::string out;
        document.SaveToString(out);
        benchmark::DoNotOptimize(out.data());
    }
    CountBytes(state, input);
}

// ---- libxml2 --------------------------------------------------------------------------

xmlDocPtr ReadLibxml2(const std::string& input) {
    return xmlReadMemory(input.data(), static_cast<int>(input.size()), "bench.xml", nullptr,
                         XML_PARSE_NONET);
}

template <int kInput>
void ParseLibxml2(benchmark::State& state) {
    const std::string& input = Input(kInput);
    for (auto _ : state) {
        xmlDocPtr document = ReadLibxml2(input);
        if (document == nullptr) {
            state.SkipWithError("parse failed");
            break;
        }
        xmlFreeDoc(document);
    }
    CountBytes(state, input);
}

template <int kInput>
void WriteLibxml2(benchmark::State& state) {
    const std::string& input = Input(kInput);
    xmlDocPtr document = ReadLibxml2(input);
    if (document == nullptr) {
        state.SkipWithError("parse failed");
        return;
    }
    for (auto _ : state) {
        xmlChar* out = nullptr;
        int size = 0;
        xmlDocDumpMemoryEnc(document, &out, &size, "UTF-8");
        benchmark::DoNotOptimize(out);
        xmlFree(out);
    }
    xmlFreeDoc(document);
    CountBytes(state, input);
}

// ---- pugixml --------------------------------------------------------------------------

class StringWriter : public pugi::xml_writer {
  public:
    void write(const void* data, size_t size) override {
        m_text.append(static_cast<const char*>(data), size);
    }
    std::string m_text;
};

template <int kInput>
void ParsePugixml(benchmark::State& state) {
    const std::string& input = Input(kInput);
    for (auto _ : state) {
        pugi::xml_document document;
        if (!document.load_buffer(input.data(), input.size())) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    CountBytes(state, input);
}

template <int kInput>
void WritePugixml(benchmark::State& state) {
    const std::string& input = Input(kInput);
    pugi::xml_document document;
    if (!document.load_buffer(input.data(), input.size())) {
        state.SkipWithError("parse failed");
        return;
    }
    for (auto _ : state) {
        StringWriter writer;
        document.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
        benchmark::DoNotOptimize(writer.m_text.data());
    }
    CountBytes(state, input);
}

// ---- Xerces-C -------------------------------------------------------------------------

namespace xerces = XERCES_CPP_NAMESPACE;

struct XercesRuntime {
    XercesRuntime() { xerces::XMLPlatformUtils::Initialize(); }
    ~XercesRuntime() { xerces::XMLPlatformUtils::Terminate(); }
};

void UseXerces() {
    static XercesRuntime runtime;
}

std::unique_ptr<xerces::XercesDOMParser> MakeXercesParser() {
    auto parser = std::make_unique<xerces::XercesDOMParser>();
    parser->setValidationScheme(xerces::XercesDOMParser::Val_Never);
    parser->setDoNamespaces(true);
    parser->setLoadExternalDTD(false);
    return parser;
}

bool ParseXerces(xerces::XercesDOMParser& parser, const std::string& input) {
    xerces::MemBufInputSource source(reinterpret_cast<const XMLByte*>(input.data()), input.size(),
                                     "bench.xml");
    parser.parse(source);
    return parser.getErrorCount() == 0 && parser.getDocument() != nullptr;
}

template <int kInput>
void ParseXercesC(benchmark::State& state) {
    UseXerces();
    const std::string& input = Input(kInput);
    {
        auto parser = MakeXercesParser();
        for (auto _ : state) {
            // Each parse releases the previous document.
            if (!ParseXerces(*parser, input)) {
                state.SkipWithError("parse failed");
                break;
            }
        }
    }
    CountBytes(state, input);
}

template <int kInput>
void WriteXercesC(benchmark::State& state) {
    UseXerces();
    const std::string& input = Input(kInput);
    {
        auto parser = MakeXercesParser();
        if (!ParseXerces(*parser, input)) {
            state.SkipWithError("parse failed");
            return;
        }
        static const XMLCh kLs[] = {'L', 'S', 0};
        static const XMLCh kUtf8[] = {'U', 'T', 'F', '-', '8', 0};
        xerces::DOMImplementation* implementation =
            xerces::DOMImplementationRegistry::getDOMImplementation(kLs);
        xerces::DOMLSSerializer* serializer = implementation->createLSSerializer();
        xerces::DOMLSOutput* output = implementation->createLSOutput();
        output->setEncoding(kUtf8);
        for (auto _ : state) {
            xerces::MemBufFormatTarget target;
            output->setByteStream(&target);
            serializer->write(parser->getDocument(), output);
            benchmark::DoNotOptimize(target.getRawBuffer());
        }
        output->release();
        serializer->release();
    }
    CountBytes(state, input);
}

// ---- Registration ----------------------------------------------------------------------

// Each case pairs ours with every anchor; the ratios are printed per anchor. Every one
// is warmed up before it is timed: a 10 MB parse takes tens of milliseconds, so a short
// run could otherwise time only its first iteration, which pays for the process's first
// touch of its memory, and compare that with an anchor that happened to run warm.
constexpr double kWarmUpSeconds = 0.1;
#define QAV_XML_CASE(name, input, qav, libxml2, pugixml, xercesc)                           \
    BENCHMARK(qav<input>)->Name(name "/qav")->MinWarmUpTime(kWarmUpSeconds);                \
    BENCHMARK(libxml2<input>)->Name(name "/anchor-libxml2")->MinWarmUpTime(kWarmUpSeconds); \
    BENCHMARK(pugixml<input>)->Name(name "/anchor-pugixml")->MinWarmUpTime(kWarmUpSeconds); \
    BENCHMARK(xercesc<input>)->Name(name "/anchor-xerces")->MinWarmUpTime(kWarmUpSeconds)

QAV_XML_CASE("xml_parse_10MB", 0, ParseQav, ParseLibxml2, ParsePugixml, ParseXercesC);
QAV_XML_CASE("xml_write_10MB", 0, WriteQav, WriteLibxml2, WritePugixml, WriteXercesC);
QAV_XML_CASE("xml_parse_message", 1, ParseQav, ParseLibxml2, ParsePugixml, ParseXercesC);
QAV_XML_CASE("xml_write_message", 1, WriteQav, WriteLibxml2, WritePugixml, WriteXercesC);

}  // namespace
