// SPDX-License-Identifier: MIT
#include "Fixture.h"

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>
#include <vector>

namespace nROOTSCOPE_1_0 {

namespace {

using nlohmann::json;

// Far beyond any tree a test needs; a bigger file is a mistake (or /dev/zero).
constexpr std::uintmax_t kFixtureLimit = std::uintmax_t{64} << 20;

// Walks one JSON object, checking each field as it is taken and refusing the
// object when it holds a key nobody asked about.
class tFieldReader {
public:
    tFieldReader(const json& object, std::string path, std::string& error)
        : object_(object), path_(std::move(path)), error_(error) {}

    bool isObject() {
        if (!object_.is_object()) {
            return fail(path_.empty() ? std::string("(top level)") : path_, "expected an object");
        }
        return true;
    }

    bool onlyKeys(std::initializer_list<const char*> allowed) {
        for (auto it = object_.begin(); it != object_.end(); ++it) {
            bool known = false;
            for (const char* key : allowed) {
                known = known || it.key() == key;
            }
            if (!known) {
                return fail(field(it.key()), "unknown key");
            }
        }
        return true;
    }

    // An unsigned value of at most `largest`; absent keeps `value` unchanged.
    template <typename T>
    bool optionalUnsigned(const char* key, T& value, std::uint64_t largest = std::numeric_limits<T>::max()) {
        const auto it = object_.find(key);
        if (it == object_.end()) {
            return true;
        }
        if (!it->is_number_unsigned() || it->template get<std::uint64_t>() > largest) {
            return fail(field(key), "expected an unsigned integer up to " + std::to_string(largest));
        }
        value = static_cast<T>(it->template get<std::uint64_t>());
        return true;
    }

    // As optionalUnsigned, for a value whose absence means "not set".
    template <typename T>
    bool optionalSet(const char* key, std::optional<T>& value) {
        if (find(key) == nullptr) {
            return true;
        }
        T read{};
        if (!optionalUnsigned(key, read)) {
            return false;
        }
        value = read;
        return true;
    }

    bool optionalBool(const char* key, bool& value) {
        const auto it = object_.find(key);
        if (it == object_.end()) {
            return true;
        }
        if (!it->is_boolean()) {
            return fail(field(key), "expected true or false");
        }
        value = it->get<bool>();
        return true;
    }

    // A failure switch: 0 or false keeps the operation working, anything
    // else makes it fail.
    bool optionalSwitch(const char* key, bool& fails) {
        const auto it = object_.find(key);
        if (it == object_.end()) {
            return true;
        }
        if (it->is_boolean()) {
            fails = it->get<bool>();
            return true;
        }
        if (!it->is_number_integer()) {
            return fail(field(key), "expected 0 or a non-zero integer");
        }
        fails = it->get<std::int64_t>() != 0;
        return true;
    }

    const json* find(const char* key) const {
        const auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }

    // A key is shown with its control characters escaped, so that a refusal
    // naming a strange key is still one line.
    std::string field(const std::string& key) const {
        std::string shown;
        for (const char c : key) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '\n') {
                shown += "\\n";
            } else if (byte < 0x20 || byte == 0x7f) {
                static const char kHex[] = "0123456789abcdef";
                shown += "\\x";
                shown += kHex[byte >> 4];
                shown += kHex[byte & 0xf];
            } else {
                shown += c;
            }
        }
        return path_.empty() ? shown : path_ + "." + shown;
    }

    bool fail(const std::string& where, const std::string& what) {
        error_ = where + ": " + what;
        return false;
    }

private:
    const json& object_;
    std::string path_;
    std::string& error_;
};

// Parses each element of `array` (known to be one) with `parse(element,
// path, item, error)`, naming element k "PATH[k]", into `items`.
template <typename T, typename tParse>
bool parseEach(const json& array, const std::string& path, std::vector<T>& items, std::string& error, tParse&& parse) {
    for (std::size_t i = 0; i < array.size(); ++i) {
        T item{};
        if (!parse(array[i], path + "[" + std::to_string(i) + "]", item, error)) {
            return false;
        }
        items.push_back(std::move(item));
    }
    return true;
}

bool parseDescriptor(const json& value, const std::string& path, tSimDescriptor& descriptor, std::string& error) {
    tFieldReader reader(value, path, error);
    if (!reader.isObject() ||
        !reader.onlyKeys({"type", "result", "base", "end", "flags", "size", "size_result", "data_result"}) ||
        !reader.optionalUnsigned("type", descriptor.type) || !reader.optionalUnsigned("result", descriptor.result) ||
        !reader.optionalUnsigned("flags", descriptor.flags) || !reader.optionalSet("size", descriptor.size) ||
        !reader.optionalUnsigned("size_result", descriptor.sizeResult) ||
        !reader.optionalUnsigned("data_result", descriptor.dataResult)) {
        return false;
    }
    // Memory and I/O ranges are 64-bit; a bus-number range is two 32-bit
    // words.
    const bool wide = descriptor.type == ResType_Mem || descriptor.type == ResType_MemLarge ||
                      descriptor.type == ResType_IO;
    const std::uint64_t largest = wide ? ~std::uint64_t{0} : std::uint64_t{0xffffffffu};
    return reader.optionalUnsigned("base", descriptor.base, largest) &&
           reader.optionalUnsigned("end", descriptor.end, largest);
}

bool parseBootConfig(const json& value, const std::string& path, tSimBootConfig& config, std::string& error) {
    tFieldReader reader(value, path, error);
    if (!reader.isObject() || !reader.onlyKeys({"result", "descriptors", "end_result"}) ||
        !reader.optionalUnsigned("result", config.result) || !reader.optionalUnsigned("end_result", config.endResult)) {
        return false;
    }
    if (config.endResult == CR_SUCCESS) {
        return reader.fail(reader.field("end_result"), "must not be 0 (the walk would never end)");
    }
    const json* descriptors = reader.find("descriptors");
    if (descriptors == nullptr) {
        return true;
    }
    if (!descriptors->is_array()) {
        return reader.fail(reader.field("descriptors"), "expected an array");
    }
    return parseEach(*descriptors, reader.field("descriptors"), config.descriptors, error, parseDescriptor);
}

// {"call": "CM_Get_Child", "nth": 2, "result": 31}: the second
// CM_Get_Child call fails with 31.
bool parseFailure(const json& value, const std::string& path, tSimFailure& failure, std::string& error) {
    tFieldReader reader(value, path, error);
    if (!reader.isObject() || !reader.onlyKeys({"call", "nth", "result"}) || !reader.optionalUnsigned("nth", failure.nth) ||
        !reader.optionalUnsigned("result", failure.result)) {
        return false;
    }
    if (failure.nth == 0) {
        return reader.fail(reader.field("nth"), "calls are counted from 1");
    }
    if (failure.result == CR_SUCCESS) {
        return reader.fail(reader.field("result"), "must not be 0 (a failure)");
    }
    const json* call = reader.find("call");
    if (call == nullptr || !call->is_string()) {
        return reader.fail(reader.field("call"), "expected the name of a call");
    }
    for (std::size_t kind = 0; kind < kSimCallKinds; ++kind) {
        const auto each = static_cast<tSimCall>(kind);
        if (each != tSimCall::Allocate && call->get<std::string>() == simCallName(each)) {
            failure.call = each;
            return true;
        }
    }
    return reader.fail(reader.field("call"), "no such call");
}

bool parseNode(const json& value, const std::string& path, tSimNode& node, std::string& error) {
    tFieldReader reader(value, path, error);
    if (!reader.isObject() ||
        !reader.onlyKeys({"id", "id_result", "started", "status_result", "boot_config", "parent", "bus_number",
                          "address", "ui_number", "device_type", "bar_types", "problem", "alloc_config"}) ||
        !reader.optionalUnsigned("id_result", node.idResult) || !reader.optionalBool("started", node.started) ||
        !reader.optionalUnsigned("status_result", node.statusResult) || !reader.optionalSet("parent", node.parent) ||
        !reader.optionalSet("bus_number", node.busNumber) || !reader.optionalSet("address", node.address) ||
        !reader.optionalSet("ui_number", node.uiNumber) || !reader.optionalSet("device_type", node.deviceType) ||
        !reader.optionalSet("bar_types", node.barTypes) || !reader.optionalSet("problem", node.problem)) {
        return false;
    }
    if (const json* allocConfig = reader.find("alloc_config")) {
        node.allocConfig.emplace();
        if (!parseBootConfig(*allocConfig, reader.field("alloc_config"), *node.allocConfig, error)) {
            return false;
        }
    }
    const json* id = reader.find("id");
    if (id == nullptr) {
        return reader.fail(reader.field("id"), "required");
    }
    if (!id->is_string()) {
        return reader.fail(reader.field("id"), "expected a string");
    }
    node.id = id->get<std::string>();
    if (node.id.size() > MAX_DEVICE_ID_LEN) {
        return reader.fail(reader.field("id"), "longer than " + std::to_string(MAX_DEVICE_ID_LEN) + " bytes");
    }
    for (std::size_t i = 0; i < node.id.size(); ++i) {
        const auto byte = static_cast<unsigned char>(node.id[i]);
        // C1 controls, U+0080 to U+009F, are C2 80 to C2 9F in UTF-8 (the
        // parser has refused any text that is not UTF-8).
        const auto next = i + 1 < node.id.size() ? static_cast<unsigned char>(node.id[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next <= 0x9f)) {
            return reader.fail(reader.field("id"), "holds a control character");
        }
    }
    if (const json* bootConfig = reader.find("boot_config")) {
        node.bootConfig.emplace();
        return parseBootConfig(*bootConfig, reader.field("boot_config"), *node.bootConfig, error);
    }
    return true;
}

// Builds the document from the parser's events as the library's own parser
// would, noting the first key that an object is given twice (the library
// keeps the last silently). Every event costs the same whatever came before
// it, so a fixture loads in time linear in its size; the library's callback
// parser, the other way to see each key, scans the enclosing array each time
// an object in it ends.
class tStrictDocument final : public json::json_sax_t {
public:
    const json& document() const { return document_; }
    // Whether an object was given a key twice, and the first such key (which
    // may be "").
    bool repeated() const { return repeated_; }
    const std::string& duplicate() const { return duplicate_; }
    // The parser's message when the text is not one JSON document.
    const std::string& error() const { return error_; }

    bool null() override { return add(nullptr); }
    bool boolean(bool value) override { return add(value); }
    bool number_integer(number_integer_t value) override { return add(value); }
    bool number_unsigned(number_unsigned_t value) override { return add(value); }
    bool number_float(number_float_t value, const string_t&) override { return add(value); }
    bool string(string_t& value) override { return add(std::move(value)); }
    bool binary(binary_t& value) override { return add(json::binary(std::move(value))); }

    bool start_object(std::size_t) override { return open(json::value_t::object); }
    bool key(string_t& key) override {
        const auto [entry, added] = open_.back()->get_ref<json::object_t&>().emplace(std::move(key), nullptr);
        if (!added && !repeated_) {
            repeated_ = true;
            duplicate_ = entry->first;
        }
        // A map's entries stay where they are while others are added.
        slot_ = &entry->second;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(json::value_t::array); }
    bool end_array() override { return close(); }

    // Not only syntax errors: a number too large for a double comes here too.
    bool parse_error(std::size_t, const std::string&, const json::exception& parseError) override {
        error_ = parseError.what();
        return false;
    }

private:
    // Puts a value where the parser is: the whole document, the next element
    // of the innermost array, or the value of the innermost object's last key.
    json* place(json value) {
        if (open_.empty()) {
            document_ = std::move(value);
            return &document_;
        }
        json& parent = *open_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        *slot_ = std::move(value);
        return slot_;
    }
    bool add(json value) {
        place(std::move(value));
        return true;
    }
    // The containers being filled are never moved: an array only grows
    // while it is the innermost one, and its own elements are then closed.
    bool open(json::value_t type) {
        open_.push_back(place(json(type)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    json document_;
    std::vector<json*> open_;  // the containers being filled, innermost last
    json* slot_ = nullptr;     // the value of the innermost object's last key
    bool repeated_ = false;
    std::string duplicate_;
    std::string error_;
};

}  // namespace

bool parseSimTree(const std::string& text, tSimTree& tree, std::string& error) {
    // The parser would take a NUL for the end of the document: it may not
    // hide part of a fixture.
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos) {
        error = "(json): a NUL byte at offset " + std::to_string(nul);
        return false;
    }
    tStrictDocument strict;
    try {
        // Strict: anything after the document is a parse error too. Only
        // parse_error stops the parse.
        if (!json::sax_parse(text, &strict)) {
            error = "(json): " + strict.error();
            return false;
        }
    } catch (const json::exception& parseError) {
        // The handler only adds values to containers of the right kind, so
        // the library has nothing to throw; a fixture still must never take
        // the harness down if it does.
        error = std::string("(json): ") + parseError.what();
        return false;
    }
    const json& document = strict.document();
    if (strict.repeated()) {
        error = tFieldReader(document, "", error).field(strict.duplicate()) + ": duplicate key";
        return false;
    }
    tSimTree parsed;
    tFieldReader reader(document, "", error);
    if (!reader.isObject() ||
        !reader.onlyKeys(
            {"open_set", "detail_query", "heap_fails_after", "enum_error", "hack_flags", "fail_calls", "nodes"}) ||
        !reader.optionalSwitch("open_set", parsed.openSetFails) ||
        !reader.optionalSwitch("detail_query", parsed.detailQueryFails) ||
        !reader.optionalUnsigned("enum_error", parsed.enumError)) {
        return false;
    }
    if (document.contains("heap_fails_after")) {
        std::uint64_t after = 0;
        if (!reader.optionalUnsigned("heap_fails_after", after)) {
            return false;
        }
        parsed.heapFailsAfter = after;
    }
    // The HackFlags value, or "unreadable": the registry refuses the read.
    if (const json* hackFlags = reader.find("hack_flags")) {
        if (hackFlags->is_string() && hackFlags->get<std::string>() == "unreadable") {
            parsed.hackFlags.unreadable = true;
        } else if (!reader.optionalSet("hack_flags", parsed.hackFlags.value)) {
            return reader.fail("hack_flags", "expected a DWORD or \"unreadable\"");
        }
    }
    const json* nodes = reader.find("nodes");
    if (nodes == nullptr) {
        return reader.fail("nodes", "required");
    }
    if (!nodes->is_array()) {
        return reader.fail("nodes", "expected an array");
    }
    if (!parseEach(*nodes, "nodes", parsed.nodes, error, parseNode)) {
        return false;
    }
    // A parent must be another node; a loop of parents is allowed, as a
    // database gone wrong may hold one.
    for (std::size_t i = 0; i < parsed.nodes.size(); ++i) {
        const std::optional<std::size_t>& parent = parsed.nodes[i].parent;
        if (parent && (*parent >= parsed.nodes.size() || *parent == i)) {
            return reader.fail("nodes[" + std::to_string(i) + "].parent", "not the index of another node");
        }
    }
    if (const json* failCalls = reader.find("fail_calls")) {
        if (!failCalls->is_array()) {
            return reader.fail("fail_calls", "expected an array");
        }
        if (!parseEach(*failCalls, "fail_calls", parsed.failCalls, error, parseFailure)) {
            return false;
        }
    }
    tree = std::move(parsed);
    return true;
}

bool loadSimTree(const std::string& path, tSimTree& tree, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    const std::string tooLarge = path + ": larger than 64 MiB";
    std::error_code code;
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (!code && size > kFixtureLimit) {
        error = tooLarge;
        return false;
    }
    // Read in pieces, so that a file with no size of its own (a device, a
    // pipe) is refused at the bound too.
    std::string text;
    try {
        char chunk[65536];
        while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
            text.append(chunk, static_cast<std::size_t>(file.gcount()));
            if (text.size() > kFixtureLimit) {
                error = tooLarge;
                return false;
            }
        }
        if (file.bad()) {
            error = path + ": cannot be read";
            return false;
        }
        if (!parseSimTree(text, tree, error)) {
            error = path + ": " + error;
            return false;
        }
    } catch (const std::bad_alloc&) {
        error = path + ": not enough memory to load it";
        return false;
    }
    return true;
}

}  // namespace nROOTSCOPE_1_0
