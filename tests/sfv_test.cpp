/*
 * Reading and writing favourites files: round trips, what the writer
 * normalises, and every kind of damage the reader must refuse.
 */
#include <gtest/gtest.h>

#include "sfvbuilder.h"
#include "sfvio.h"

namespace {

const std::string sjis = "\x83\x6a\x83\x85\x81\x5b\x83\x58"; /* a Japanese title */

record
numbers()
{
	record r = named(sjis, "comment \xff\x80");
	r.setting_flag = 0;
	r.setting = {{1, 0, -1, 0, 2, 0, 0, 1, -7}};
	r.opaque = {{INT32_MIN, -1, 0, INT32_MAX}};
	return r;
}

TEST(sfv, writes_back_what_it_read_byte_for_byte)
{
	const std::string longest(1024, 'x');
	const std::vector<std::string> files = {
		sfvfile(root("", {}), root("", {})),
		sfvfile(root("L", {url("a", "http://a/")}), root("F", {url("a", "http://a/")})),
		sfvfile(root(sjis, {folder("f", {}, 8), folder("g", {url("", "")}, -3)}),
		    root("F", {url(numbers(), "u\x80\xff", -1), folderhead(numbers(), 9, 0)})),
		sfvfile(root(longest, {url(longest, longest)}), root("F", {url("t", longest)})),
		sfvfile(root("L", {folder("a", {folder("b", {folder("c", {url("d", "e")})})}), url("x", "y")}),
		    root("F", {})),
		/* records at their longest, so that many straddle a refill of the reader */
		sfvfile(root("L", std::vector<std::string>(100, url(named(longest, longest), longest, 1))),
		    root("F", {})),
	};
	for (size_t i = 0; i < files.size(); i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(rewrite(files[i]), files[i]);
	}
}

TEST(sfv, writes_texts_to_their_first_zero_counts_as_found_and_nothing_after)
{
	struct {
		const char *name;
		std::string in, out;
	} cases[] = {
		{"zero byte in a title",
		    sfvfile(root(std::string("ab\0cd", 5), {}), root("F", {})),
		    sfvfile(root("ab", {}), root("F", {}))},
		{"zero byte in a url",
		    sfvfile(root("L", {url("t", std::string("u\0v", 3))}), root("F", {})),
		    sfvfile(root("L", {url("t", "u")}), root("F", {}))},
		{"negative child count",
		    sfvfile(roothead("L", -5), root("F", {})),
		    sfvfile(root("L", {}), root("F", {}))},
		{"bytes after Favorite",
		    sfvfile(root("L", {}), root("F", {})) + "trailing",
		    sfvfile(root("L", {}), root("F", {}))},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(rewrite(c.in), c.out);
	}
}

TEST(sfv, refuses_damaged_trees_with_one_message)
{
	const std::string eof = "Error: readitemfromsfv: unexpected end of file\n";
	const std::string length = "Error: readitemfromsfv: illegal length\n";
	const std::string type = "Error: readitemfromsfv: illegal type\n";
	const std::string good = url("t", "u");
	struct {
		const char *name;
		std::string links;
		std::string printed;
	} cases[] = {
		{"no LINKS at all", "", eof},
		{"title longer than 1024", body(named(std::string(1025, 'x'))), length},
		{"negative title length", le32(-1) + std::string(64, 'x'), length},
		{"url longer than 1024", roothead("L", 1) + url(named("t"), std::string(1025, 'u'), 0), length},
		{"type byte 0", roothead("L", 1) + std::string(1, '\0') + good.substr(1), type},
		{"type byte 7", roothead("L", 1) + "\x07" + good.substr(1), type},
		{"type byte 3 cut short", roothead("L", 1) + "\x03" + good.substr(1, 9), eof},
		{"count beyond the file", roothead("L", 1000000000) + good, eof},
		{"count beyond the children", roothead("L", 3) + good + good, eof},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		parsed p = parse(header() + c.links);
		EXPECT_EQ(p.header, HEADER_OK);
		EXPECT_EQ(p.links, nullptr);
		EXPECT_EQ(p.printed, c.printed);
	}
}

TEST(sfv, refuses_every_cut_short_copy_of_a_good_file)
{
	const std::string whole = sfvfile(root("L", {folder("f", {url("a", "b"), url("c", "d")})}),
	    root("F", {url("e", "f")}));
	for (size_t n = 13; n < whole.size(); n++) {
		SCOPED_TRACE(n);
		parsed p = parse(whole.substr(0, n));
		EXPECT_EQ(p.favorite, nullptr);
		EXPECT_EQ(p.printed, "Error: readitemfromsfv: unexpected end of file\n");
		free_sfvitem(p.links);
	}
}

} // namespace
