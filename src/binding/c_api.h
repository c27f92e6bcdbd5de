// What _corvalind offers the package's native companion (corvalind._native):
// a capsule, the module's private attribute _C_API, through which the
// companion reads the Trie inside a PrefixSearch in place, with the type
// check of _corvalind's own class. Both modules are built together from the
// same core, so the Trie layout is the same; `abi` and `trie_size` refuse a
// companion built from other sources.
#pragma once

#include <Python.h>

#include <cstdint>

#include "prefix/trie/trie.h"

namespace corvalind::binding {

inline constexpr char kCApiCapsuleName[] = "_corvalind._C_API";
inline constexpr uint32_t kCApiAbi = 1;

struct CApi {
  uint32_t abi;        // kCApiAbi of the module that made it
  uint32_t trie_size;  // sizeof(Trie) there
  // The Trie of `object` (borrowed: valid while the object lives), or
  // nullptr when it is not a PrefixSearch. Needs the interpreter lock.
  const Trie* (*trie_of)(PyObject* object);
};

}  // namespace corvalind::binding
