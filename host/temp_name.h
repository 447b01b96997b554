// Temporary names for the platform layer: both hosts make them the same
// way, from a seed that only the host can give.
#ifndef QUORLITH_HOST_TEMP_NAME_H_
#define QUORLITH_HOST_TEMP_NAME_H_

#include <cstddef>
#include <cstdint>
#include <string>

// How long a temporary name may be after a folder part of `prefixLength`
// characters (its separator included): at most 8, fewer when the path limit
// leaves less room, never none.
inline size_t TempNameLength(size_t prefixLength, size_t pathLimit) {
  size_t room = pathLimit > prefixLength ? pathLimit - prefixLength : 0;
  return room < 1 ? 1 : room > 8 ? 8 : room;
}

// The next value of a sequence that `*state` carries; a state of 0 is
// first seeded with `seed`, which differs per process and per start.
inline uint64_t NextTempBits(uint64_t* state, uint64_t seed) {
  if (*state == 0) *state = seed != 0 ? seed : 1;
  *state += 0x9E3779B97F4A7C15ull;
  uint64_t z = *state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// "qpk" and random letters and digits from `bits`; only random ones when
// the name is short.
inline std::string TempNameFrom(uint64_t bits, size_t length) {
  static const char ALPHABET[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name = length >= 6 ? "qpk" : "";
  while (name.size() < length) {
    name += ALPHABET[bits % 36];
    bits /= 36;
  }
  return name;
}

#endif  // QUORLITH_HOST_TEMP_NAME_H_
