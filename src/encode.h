// Model cipher: the body of a model file is enciphered by the scheme its header
// names. Schemes 1 and 2 XOR a fixed 8-byte pattern into the first 800 blocks
// of 8 bytes; scheme 3 decrypts a counted range with DES (ECB) and then XORs a
// counted range, both from the start of the body. The pattern and the DES key
// are those of model_key.h.
//
// The routines share the library-wide `key_sets` pointer while they run, so
// deciphering calls must not overlap (models are loaded from one thread).
#pragma once
#include <cstdint>

#include "model_file.h"

// One entry of a DES key schedule: the 48-bit round subkey in the first six
// bytes of k (bit 1 = most significant bit of k[0]); c and d keep the two
// 28-bit halves it was derived from (not read by the rounds).
struct key_set {
  unsigned char k[8];
  unsigned char c[4];
  unsigned char d[4];
};
static_assert(sizeof(key_set) == 16, "a schedule entry is 16 bytes");

// Points at the model schedule (17 entries, entry 0 unused, 1..16 = K1..K16)
// only while a DES routine runs; null otherwise.
extern key_set* key_sets;

// Deciphers a model body in place by the scheme in `head`. Returns 0 for
// schemes 1, 2 and 3 (also when a step's range is empty), -1 for any other
// scheme with the body untouched. No step reaches past `len`.
int decode_model_buffer(unsigned char* buffer, long len, _s_model_head head);

// The inverse of decode_model_buffer for the same header (what the packing
// tool applies). Returns 0, or -1 for a scheme the cipher does not know.
int encode_model_body(unsigned char* buffer, long len, const _s_model_head& head);

// Ranges a header selects on a body of `len` bytes: XOR blocks of 8 bytes and
// DES bytes (whole blocks of it are processed), both already cut to the body.
void model_cipher_ranges(long len, const _s_model_head& head, long& xor_blocks, long& des_bytes);

// DES (ECB) over the whole 8-byte blocks of the first `length` bytes with the
// model schedule, in place; mode 0 decrypts, any other value encrypts. A tail
// of length % 8 bytes keeps its values. Returns 0.
int _decode_model_buffer2(unsigned char* buffer, int length, int mode);

// XORs the pattern into the first n blocks (n > 0). Returns 0.
int _decode_model_buffer1(unsigned char* buffer, int n);

// Scheme-3 encipher with plain counts: XOR `xor_blocks` blocks, then DES-
// encrypt the whole blocks of `des_bytes` bytes. Returns 0.
int encode_model_buffer(unsigned char* buffer, int xor_blocks, int des_bytes);

// Copies `length` bytes from input to output, then runs DES over each whole
// block with the schedule `key_sets` points to, or with the model schedule
// when none is present. `key` is not read.
void _des_decode(unsigned char* input, unsigned char* output, unsigned char* key, int length,
                 int mode);

// Derives the 17-entry schedule of an 8-byte DES key (standard PC-1, shifts,
// PC-2); entry 0 is zeroed.
void des_key_schedule(const unsigned char key[8], key_set schedule[17]);

// One DES block with a given schedule; mode 0 decrypts, others encrypt.
// `in` and `out` may be the same block.
void des_process_block(const unsigned char in[8], unsigned char out[8], const key_set* schedule,
                       int mode);
