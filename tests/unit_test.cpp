// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Parts of the tool on their own: the seen set's URL hash, and the
 * temporary names. The hash is SipHash-1-3, whose answers under the key
 * 00 01 ... 0f for the messages 01 02 ... of each length up to 15 were
 * worked out apart from this code, with the same way of working out the
 * SipHash-2-4 answers its designers publish. Its key is drawn anew for
 * each set. The walks' module is compiled here, whole, so that its own
 * record and functions can be seen.
 */
#include <gtest/gtest.h>

#include <regex>

#include "../src/tree.cpp"

TEST(hash, answers_as_siphash_1_3_does_under_a_key_drawn_anew_for_each_set)
{
	const uint64_t answers[] = {0xabac0158050fc4dcULL, 0x0732543e9e14e772ULL, 0x69dc69f252d62639ULL, 0x2050b653acd9a790ULL, 0xf07c6b8807de6dccULL,
		0x97c4ea9d47a16ce1ULL, 0x73437774ed5079e3ULL, 0x321a94b125c56409ULL, 0x175a2f2a34eb2df1ULL, 0x8828491389474877ULL, 0x42e05b70132b71d1ULL,
		0x8c5c2de8e8db9a25ULL, 0xb97e59054dd4fa2bULL, 0x0509c612ee7b6223ULL, 0xe01eb0f42e030b84ULL, 0x3de1f05f179b3a08ULL};
	char message[17] = {};
	seenset seen = {};
	seen.key[0] = 0x0706050403020100ULL, seen.key[1] = 0x0f0e0d0c0b0a0908ULL;
	for (size_t len = 0; len < 16; len++) {
		EXPECT_EQ(hashurl(&seen, message), size_t(answers[len])) << len;
		message[len] = char(len + 1);
	}
	seenset *drawn[2] = {new_seenset(), new_seenset()};
	EXPECT_TRUE(drawn[0]->key[0] != drawn[1]->key[0] && drawn[0]->key[1] != drawn[1]->key[1]) << "a key that a file could be made for";
	for (seenset *d : drawn)
		free_seenset(d);
}

/*
 * A temporary name: the name, a dot and six letters or digits, cut
 * short where the folder takes fewer bytes, but never inside a UTF-8
 * character; drawn a hundred times, so that a letter outside the set
 * would show.
 */
TEST(tempname, keeps_the_name_whole_where_it_fits_and_cuts_it_at_a_character)
{
	for (const auto &[name, base] : std::initializer_list<std::pair<std::string, std::string>>{{"in.sfv", "in.sfv"}, {std::string(249, 'n'), std::string(248, 'n')}, {std::string(247, 'n') + "\xe4\xba\x88", std::string(247, 'n')}})
		for (int i = 0; i < 100; i++)
			EXPECT_TRUE(std::regex_match(tempname(name, 255), std::regex(base + "\\.[A-Za-z0-9]{6}"))) << name.size();
}
