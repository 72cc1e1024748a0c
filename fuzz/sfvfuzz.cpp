// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Fuzz target: any bytes at all read as a favourites file, through the
 * steps of a run: the header, both trees, the listing, the removal of
 * duplicates, the export and the freeing. A file read whole
 * is cleaned into bytes that must read whole again and clean back to
 * themselves, byte for byte, as they hold no duplicate. A broken
 * property aborts.
 */
#include <cstdint>
#include <cstdio>
#include <string>

#include "../src/vantrel.h"

static sfvreader reader;
static sfvwriter writer;

static void
require(bool holds, const char *what)
{
	if (!holds) {
		std::fprintf(stderr, "property broken: %s\n", what);
		std::abort();
	}
}

static bool
append(void *to, const void *buf, size_t n)
{
	static_cast<std::string *>(to)->append(static_cast<const char *>(buf), n);
	return true;
}

/* Reads LINKS and Favorite from bytes, as a run reads them; false where the file is refused. */
static bool
readtrees(const std::string &bytes, sfvitem **links, sfvitem **favorite)
{
	FILE *fp = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");

	require(fp != nullptr, "the bytes can be read as a file");
	initreader(&reader, fp);
	*links = *favorite = nullptr;
	bool whole = readheader(&reader) == HEADER_OK && (*links = readitemfromsfv(&reader, false)) != nullptr &&
	    (*favorite = readitemfromsfv(&reader, false)) != nullptr && readend(&reader);
	std::fclose(fp);
	return whole;
}

/* The file that cleaning bytes writes, or "" where they are refused. */
static std::string
clean(const std::string &bytes)
{
	sfvitem *links, *favorite;
	std::string out;

	if (readtrees(bytes, &links, &favorite)) {
		links->next = favorite;
		listitems(links, 0);
		seenset *seen = new_seenset();
		require(seen != nullptr && killduplicates(links, seen, true), "memory for the seen set");
		free_seenset(seen);
		links->next = nullptr;
		initwriter(&writer, append, &out);
		writeheader(&writer);
		savetosfv(&writer, links, false);
		savetosfv(&writer, favorite, false);
		require(flushwriter(&writer), "the export is written");
	}
	free_sfvitem(links);
	free_sfvitem(favorite);
	return out;
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	require(std::freopen("/dev/null", "w", stdout) != nullptr, "the messages can go"); /* only the properties speak */
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string once = clean(std::string(reinterpret_cast<const char *>(data), size));

	require(once.empty() || clean(once) == once, "a cleaned file reads whole and cleans back to itself");
	return 0;
}
