// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * What the systems' files share: random bits, and the temporary name
 * beside a destination, with new letters where another file took it
 * first.
 */
#include <cerrno>
#include <random>

#include "platform.h"

#define SUFFIXLEN (sizeof(TEMPSUFFIX) - 1) /* a dot and the letters */
#define MAXTRIES 100 /* taken names met before giving up: more than chance can explain */
/* A linear congruential generator's step, Knuth's (MMIX), whose high bits are the random ones: the letters need be no better. */
#define LCG_MULTIPLIER 6364136223846793005ULL
#define LCG_INCREMENT 1442695040888963407ULL

/*
 * 64 bits from the system's random source, or none (0) where it gives
 * none: what is drawn from them then still works, only predictably.
 */
uint64_t
randombits(void)
{
	try {
		std::random_device source;
		return uint64_t(source()) << 32 | source();
	} catch (const std::exception &) {
		return 0;
	}
}

/*
 * Puts six new letters at the end of name, random where the system
 * gives random numbers; the name's length stays, so nothing is
 * allocated.
 */
static void
newletters(std::string *name)
{
	static const char letters[] =
	    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	static uint64_t state;

	state ^= randombits();
	for (size_t i = name->size() - (SUFFIXLEN - 1); i < name->size(); i++) {
		state = state * LCG_MULTIPLIER + LCG_INCREMENT;
		(*name)[i] = letters[(state >> 33) % (sizeof(letters) - 1)];
	}
}

/*
 * A temporary name beside the destination name, in a folder whose names
 * take at most namemax bytes: the name, a dot and six random letters,
 * the name cut short where the folder would not take the whole. A cut
 * never splits a UTF-8 character.
 */
std::string
tempname(const std::string &name, size_t namemax)
{
	std::string base = name;
	size_t room = namemax - SUFFIXLEN;

	if (base.size() > room) {
		while (room > 0 && (base[room] & 0xc0) == 0x80)
			room--;
		base.resize(room);
	}
	std::string temp = base + TEMPSUFFIX;
	newletters(&temp);
	return temp;
}

/*
 * Tells, after a file could not be made or named under the temporary
 * name, whether to try again: only where another file took the name
 * (errno EEXIST), and at most 100 times in all (*tries counts them);
 * the name then has new letters. Where it says no, errno is left as
 * the failure set it.
 */
bool
retryname(std::string *name, int *tries)
{
	if (errno != EEXIST || ++*tries >= MAXTRIES)
		return false;
	newletters(name);
	return true;
}
