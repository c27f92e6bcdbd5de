// The fixed texts of the messages this module raises, in one place.
//
// Callers and tests match these texts exactly, and several repeat another
// library's renderings to the last character: change none of them. Messages
// that carry numbers or names are the small functions here; the details of
// a malformed trie stay beside the check that finds them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvalind::messages {

// ---- Converting arguments ---------------------------------------------------

// Targets named by cannot_convert; callers and tests rely on the exact text.
inline constexpr std::string_view kPyString = "PyString";
inline constexpr std::string_view kPyBytes = "PyBytes";
inline constexpr std::string_view kPyBool = "PyBool";
inline constexpr std::string_view kPyTuple = "PyTuple";
inline constexpr std::string_view kSequence = "Sequence";
inline constexpr std::string_view kPrefixSearch = "PrefixSearch";

// The type name when the interpreter cannot give one; callers and tests rely on the exact text.
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";

// TypeError for an object of the wrong kind; callers and tests rely on the exact text.
inline std::string cannot_convert(std::string_view type_name, std::string_view target) {
  return "'" + std::string(type_name) + "' object cannot be converted to '" + std::string(target) + "'";
}

// OverflowError for an integer outside the target's range; callers and tests rely on the exact text.
inline constexpr std::string_view kOutOfRange = "out of range integral type conversion attempted";

// TypeError for a str where a list is wanted; callers and tests rely on the exact text.
inline constexpr std::string_view kStrToVec = "Can't extract `str` to `Vec`";

// TypeError for a bool type without __bool__; callers and tests rely on the exact text.
inline std::string no_bool_conversion(std::string_view type_text) {
  return "object of type '" + std::string(type_text) + "' does not define a '__bool__' conversion";
}

// SystemError for a __bool__ that returned another value; callers and tests rely on the exact text.
inline constexpr std::string_view kBoolNeitherZeroNorOne = "__bool__ returned neither 0 nor 1";

// PyUnicode_FromFormat form (name, message) of a refused argument; callers and tests rely on the exact text.
inline constexpr const char* kArgumentPrefixFormat = "argument '%s': %U";

// ---- Binding arguments (TypeError) -----------------------------------------

// Callers and tests rely on the exact text, e.g. "f() takes from 1 to 3 positional arguments but 4 were given".
inline std::string too_many_positional(std::string_view full_name, std::size_t required, std::size_t count,
                                       std::size_t given) {
  const std::string takes =
      required == count ? std::to_string(count) : "from " + std::to_string(required) + " to " + std::to_string(count);
  return std::string(full_name) + " takes " + takes + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was" : " were") + " given";
}

// Callers and tests rely on the exact text.
inline std::string unexpected_keyword(std::string_view full_name, std::string_view keyword) {
  return std::string(full_name) + " got an unexpected keyword argument '" + std::string(keyword) + "'";
}

// unexpected_keyword as a PyErr_Format form (name, keyword object); callers and tests rely on the exact text.
inline constexpr const char* kUnexpectedKeywordFormat = "%s got an unexpected keyword argument '%U'";

// Callers and tests rely on the exact text.
inline std::string multiple_values(std::string_view full_name, std::string_view keyword) {
  return std::string(full_name) + " got multiple values for argument '" + std::string(keyword) + "'";
}

// "f() missing 2 required positional arguments: 'a' and 'b'" ('a'; 'a' and
// 'b'; 'a', 'b', and 'c'); callers and tests rely on the exact text.
inline std::string missing_arguments(std::string_view full_name, std::span<const std::string_view> missing) {
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += "'" + std::string(missing[i]) + "'";
  }
  return std::string(full_name) + " missing " + std::to_string(missing.size()) + " required positional " +
         (missing.size() == 1 ? "argument: " : "arguments: ") + list;
}

// ---- The class and the module -----------------------------------------------

// TypeError of PrefixSearch(); callers and tests rely on the exact text.
inline std::string no_constructor(std::string_view module, std::string_view qualname) {
  return "No constructor defined for " + std::string(module) + "." + std::string(qualname);
}

// A module or class name the interpreter cannot give; callers and tests rely on the exact text.
inline constexpr std::string_view kUnknownName = "<unknown>";

// ImportError in a second interpreter; callers and tests rely on the exact text.
inline constexpr std::string_view kNoSubInterpreters = "_corvalind does not support sub-interpreters";

// ---- The producer's flat arrays (ValueError) --------------------------------

// "node_shifts len 3 != child_labels len 4"; callers and tests rely on the exact text.
inline std::string length_mismatch(std::string_view field, std::size_t len, std::size_t labels_len) {
  return std::string(field) + " len " + std::to_string(len) + " != child_labels len " + std::to_string(labels_len);
}

// "child_transitions[2] = 9 out of range [0..4)"; callers and tests rely on the exact text.
inline std::string transition_out_of_range(std::size_t position, uint32_t target, std::size_t node_count) {
  return "child_transitions[" + std::to_string(position) + "] = " + std::to_string(target) + " out of range [0.." +
         std::to_string(node_count) + ")";
}

// Callers and tests rely on the exact text.
inline constexpr std::string_view kPayloadTupleSize = "Payload tuple must have 3 elements";
// Callers and tests rely on the exact text.
inline constexpr std::string_view kPayloadListsMismatch = "video_ids and video_counts length mismatch";
// Callers and tests rely on the exact text.
inline constexpr std::string_view kVideoIndexEntries =
    "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)";

// ---- Snapshots and malformed tries (ValueError) -----------------------------

// Before the rendered DecodeError; callers and tests rely on the exact text.
inline constexpr std::string_view kDecodeError = "decode error: ";
// Before the detail of a refused trie; callers and tests rely on the exact text.
inline constexpr std::string_view kMalformedTrie = "malformed trie: ";

// Type names in UnexpectedVariant renderings; callers and tests rely on the exact text.
inline constexpr std::string_view kPayloadTypeName = "core::option::Option<corvalind::payload::Payload>";
inline constexpr std::string_view kIdModeTypeName = "IdMode";

// The DecodeError renderings; callers and tests rely on the exact text.
inline std::string unexpected_end(uint64_t additional) {
  return "UnexpectedEnd { additional: " + std::to_string(additional) + " }";
}
inline std::string invalid_integer_type(std::string_view expected, std::string_view found) {
  return "InvalidIntegerType { expected: " + std::string(expected) + ", found: " + std::string(found) + " }";
}
inline std::string unexpected_variant(std::string_view type_name, uint32_t min, uint32_t max, uint32_t found) {
  return "UnexpectedVariant { type_name: \"" + std::string(type_name) + "\", allowed: Range { min: " +
         std::to_string(min) + ", max: " + std::to_string(max) + " }, found: " + std::to_string(found) + " }";
}
inline std::string invalid_char_encoding(const std::array<uint8_t, 4>& bytes) {
  return "InvalidCharEncoding([" + std::to_string(bytes[0]) + ", " + std::to_string(bytes[1]) + ", " +
         std::to_string(bytes[2]) + ", " + std::to_string(bytes[3]) + "])";
}
inline std::string invalid_boolean_value(uint8_t value) {
  return "InvalidBooleanValue(" + std::to_string(value) + ")";
}

// "field[index]", as malformed-trie details name a position.
inline std::string field_at(std::string_view field, std::size_t index) {
  return std::string(field) + "[" + std::to_string(index) + "]";
}

// ---- Internal failures (PanicException) -------------------------------------

// A C-API call that failed to create an object; callers and tests rely on the exact text.
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
// Callers and tests rely on the exact text.
inline std::string index_out_of_bounds(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}
// A C++ exception of no known type; callers and tests rely on the exact text.
inline constexpr std::string_view kUnknownException = "unknown C++ exception";
// stderr line before the process aborts; callers and tests rely on the exact text.
inline constexpr std::string_view kUncaughtPanic = "uncaught panic at ffi boundary\n";
// fprintf form of the stderr diagnostic of an internal failure; callers and tests rely on the exact text.
inline constexpr const char* kInternalFailureFormat = "_corvalind: internal failure: %s\n";
// Callers and tests rely on the exact text.
inline constexpr std::string_view kTypeCreationFailed = "failed to create type object for PrefixSearch";

}  // namespace corvalind::messages
