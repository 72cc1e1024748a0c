/*
 * Reading and writing favourites files in the test process, with what
 * the routines print captured.
 */
#ifndef SFVIO_H
#define SFVIO_H

#include <gtest/gtest.h>

#include <string>

#include "vantrel.h"

struct parsed {
	headercheck header;
	sfvitem *links;
	sfvitem *favorite;
	std::string printed;
};

/* Reads bytes as the driver does: header, then both roots. */
inline parsed
parse(const std::string &bytes)
{
	static sfvreader r;
	FILE *fp = std::tmpfile();
	std::fwrite(bytes.data(), 1, bytes.size(), fp);
	std::rewind(fp);
	initreader(&r, fp);
	parsed p{readheader(&r), nullptr, nullptr, ""};
	testing::internal::CaptureStdout();
	if (p.header == HEADER_OK && (p.links = readitemfromsfv(&r, false)) != nullptr)
		p.favorite = readitemfromsfv(&r, false);
	p.printed = testing::internal::GetCapturedStdout();
	std::fclose(fp);
	return p;
}

/* Writes a header and both roots, and returns the bytes written. */
inline std::string
save(const sfvitem *links, const sfvitem *favorite)
{
	static sfvwriter w;
	FILE *fp = std::tmpfile();
	initwriter(&w, fp);
	writeheader(&w);
	savetosfv(&w, links, false);
	savetosfv(&w, favorite, false);
	EXPECT_TRUE(flushwriter(&w));
	std::string bytes(static_cast<size_t>(std::ftell(fp)), '\0');
	std::rewind(fp);
	EXPECT_EQ(std::fread(&bytes[0], 1, bytes.size(), fp), bytes.size());
	std::fclose(fp);
	return bytes;
}

/* Reads bytes and writes them back; frees what was read. */
inline std::string
rewrite(const std::string &bytes)
{
	parsed p = parse(bytes);
	EXPECT_EQ(p.printed, "");
	if (p.favorite == nullptr) {
		free_sfvitem(p.links);
		return "unreadable";
	}
	std::string out = save(p.links, p.favorite);
	free_sfvitem(p.links);
	free_sfvitem(p.favorite);
	return out;
}

#endif
