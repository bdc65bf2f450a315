// layout_hash.h - the layout hash: one 32-bit word that names a node
// table's layout by its node names.
//
// The hash is a 32-bit fold of the MD5 digests of all node names in
// node-table order: h = rotl(h, 1) + first four digest bytes (little-endian).
// It is computed once and cached (0 means "not yet"); ComputeLayoutHash may
// run on several threads at once: each fold works in a local and only the
// finished value is stored; a large table's names are digested half on
// the caller's thread, half on the second thread (second_thread.h) when it
// is free. Nothing here fails or reports: a node space with
// no nodes folds to 0, which is never cached.
//
// This module stands below everything else of the retain file: it reads the
// node table and nothing of the files.
#pragma once

#include <cstdint>
#include <vector>

// The MD5 digest of text's bytes up to, not including, its terminating zero.
void DigestText(uint8_t out[16], const char* text);
uint32_t ComputeLayoutHash();
// The number of node records (from record 0) the cached hash was folded
// from; 0 while no hash is cached.
int32_t LayoutHashNodeCount();
// The per-node keys of the fold that set the cached hash (key j from node
// j's name), handed over once and then forgotten: the start-up check uses
// them to check an old layout record without digesting again the names the
// fold digested. Empty when there are none to hand over.
std::vector<uint32_t> TakeLayoutNodeKeys();
// Forgets the cached hash, its node count and its keys.
void ForgetLayoutHash();
