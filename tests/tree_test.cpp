/*
 * The walks over the linked trees: duplicate removal, counting and
 * listing, run in the test process on trees read from built bytes.
 */
#include <gtest/gtest.h>

#include "sfvbuilder.h"
#include "sfvio.h"

namespace {

struct walked {
	std::string bytes;   /* the trees written back after the walk */
	std::string printed; /* what the walk printed */
	itemcount count;     /* the trees counted after the walk */
};

/* Reads in, links the roots, runs the walk, unlinks, counts and writes back. */
template <class walk>
walked
run(const std::string &in, uint32_t opts, walk w)
{
	parsed p = parse(in);
	if (p.favorite == nullptr) {
		free_sfvitem(p.links);
		return {"unreadable", p.printed, {}};
	}
	walked r;
	options = opts;
	p.links->next = p.favorite;
	testing::internal::CaptureStdout();
	w(p.links);
	r.printed = testing::internal::GetCapturedStdout();
	initcount(&r.count, p.links);
	p.links->next = nullptr;
	r.bytes = save(p.links, p.favorite);
	free_sfvitem(p.links);
	free_sfvitem(p.favorite);
	options = 0;
	return r;
}

walked
clean(const std::string &in, uint32_t opts = 0)
{
	return run(in, opts, [](sfvitem *links) { killduplicates(links); });
}

std::string
listing(const std::string &in)
{
	return run(in, 0, [](sfvitem *links) { listitems(links, 0); }).printed;
}

const std::string once = "Freeing stack...Done\n";

TEST(killduplicates, removes_every_later_copy_and_keeps_the_first)
{
	const std::string a = url("a", "http://a/"), b = url("b", "http://b/");
	struct {
		const char *name;
		std::string in, out;
		std::string printed;
	} cases[] = {
		{"no URL items: nothing removed, no seen list to free",
		    sfvfile(root("L", {folder("f", {})}), root("F", {})),
		    sfvfile(root("L", {folder("f", {})}), root("F", {})),
		    "Deleted 0 items.\n"},
		{"copy as a folder's first child",
		    sfvfile(root("L", {a, folder("f", {url("x", "http://a/"), b})}), root("F", {})),
		    sfvfile(root("L", {a, folder("f", {b})}), root("F", {})),
		    "Deleted 1 items.\n" + once},
		{"copy as a folder's last child",
		    sfvfile(root("L", {folder("f", {a, b, url("x", "http://a/")})}), root("F", {})),
		    sfvfile(root("L", {folder("f", {a, b})}), root("F", {})),
		    "Deleted 1 items.\n" + once},
		{"a folder emptied by removal stays, with count 0",
		    sfvfile(root("L", {a, folder("f", {a, a}), b}), root("F", {folder("g", {b})})),
		    sfvfile(root("L", {a, folder("f", {}), b}), root("F", {folder("g", {})})),
		    "Deleted 3 items.\n" + once},
		{"first copy in Favorite when LINKS has none",
		    sfvfile(root("L", {b}), root("F", {folder("f", {a}), a, folder("g", {a})})),
		    sfvfile(root("L", {b}), root("F", {folder("f", {a}), folder("g", {})})),
		    "Deleted 2 items.\n" + once},
		{"a URL in both trees survives in LINKS",
		    sfvfile(root("L", {folder("deep", {folder("er", {a})})}), root("F", {a})),
		    sfvfile(root("L", {folder("deep", {folder("er", {a})})}), root("F", {})),
		    "Deleted 1 items.\n" + once},
		{"case and trailing slash make different URLs",
		    sfvfile(root("L", {url("1", "http://a"), url("2", "http://a/"), url("3", "HTTP://A/")}), root("F", {})),
		    sfvfile(root("L", {url("1", "http://a"), url("2", "http://a/"), url("3", "HTTP://A/")}), root("F", {})),
		    "Deleted 0 items.\n" + once},
		{"empty URLs are equal to each other only",
		    sfvfile(root("L", {url("1", ""), url("2", " "), url("3", "")}), root("F", {})),
		    sfvfile(root("L", {url("1", ""), url("2", " ")}), root("F", {})),
		    "Deleted 1 items.\n" + once},
		{"bytes above 0x7f compare exactly",
		    sfvfile(root("L", {url("1", "\x83\x6a"), url("2", "\x83\x6b"), url("3", "\x83\x6a")}), root("F", {})),
		    sfvfile(root("L", {url("1", "\x83\x6a"), url("2", "\x83\x6b")}), root("F", {})),
		    "Deleted 1 items.\n" + once},
		{"a title like the url of another does not count",
		    sfvfile(root("L", {url("http://a/", "x"), a}), root("F", {})),
		    sfvfile(root("L", {url("http://a/", "x"), a}), root("F", {})),
		    "Deleted 0 items.\n" + once},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		walked w = clean(c.in);
		EXPECT_EQ(w.bytes, c.out);
		EXPECT_EQ(w.printed, c.printed);
		EXPECT_EQ(clean(w.bytes).bytes, w.bytes) << "cleaning again changed the file";
	}
}

/*
 * Enough distinct URLs that the index of the seen list grows several
 * times while it is searched: a URL lost or misplaced when it grows
 * would let a later copy survive, or remove an item met only once.
 */
TEST(killduplicates, keeps_the_first_of_each_of_thousands_of_urls)
{
	std::vector<std::string> links, favorite, kept;
	for (int i = 0; i < 5000; i++)
		links.push_back(url("t", "http://u/" + std::to_string(i)));
	for (int i = 4999; i >= 0; i--) {
		favorite.push_back(url("t", "http://u/" + std::to_string(i)));
		if (i % 5 == 0) {
			std::string fresh = url("n", "http://u/" + std::to_string(i) + "/");
			favorite.push_back(fresh);
			kept.push_back(fresh);
		}
	}
	walked w = clean(sfvfile(root("L", links), root("F", {folder("f", favorite)})));
	EXPECT_EQ(w.bytes, sfvfile(root("L", links), root("F", {folder("f", kept)})));
	EXPECT_EQ(w.printed, "Deleted 5000 items.\n" + once);
}

TEST(countitems, counts_both_trees_roots_included)
{
	struct {
		std::string in;
		int32_t items, folders, urls;
	} cases[] = {
		{sfvfile(root("L", {}), root("F", {})), 2, 2, 0},
		{sfvfile(root("L", {folder("e", {})}), root("F", {url("a", "b")})), 4, 3, 1},
		{sfvfile(root("L", {folder("f", {folder("g", {url("a", "b"), url("a", "b")})})}),
		    root("F", {url("a", "b")})), 7, 4, 3},
	};
	for (const auto &c : cases) {
		itemcount n = run(c.in, 0, [](sfvitem *) {}).count;
		EXPECT_EQ(n.items, c.items);
		EXPECT_EQ(n.folders, c.folders);
		EXPECT_EQ(n.urls, c.urls);
	}
}

/* A root with every field chosen. */
std::string
rootof(const record &r, int32_t color, const std::vector<std::string> &children)
{
	return folderhead(r, color, static_cast<int32_t>(children.size())).substr(1) + join(children);
}

TEST(listitems, prints_the_documented_example_byte_for_byte)
{
	record l = named("L"), t = named("T", "C"), f = named("F");
	l.setting[0] = 1;
	t.setting_flag = 0;
	t.setting[8] = 2;
	const std::string in = sfvfile(rootof(l, 0, {url(t, "u", 3)}), rootof(f, 1, {}));
	EXPECT_EQ(listing(in),
	    "Title:L\n"
	    "Comment:\n"
	    "Setting:J-------,0\n"
	    "Color:\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\n"
	    " Title:T\n"
	    " Comment:C\n"
	    " Setting:(--------,2)\n"
	    " URL:u\n"
	    " Visited:3\n"
	    "\n"
	    "Title:F\n"
	    "Comment:\n"
	    "Setting:--------,0\n"
	    "Color:\x90\xd4\n");
}

TEST(listitems, indents_settings_colours_and_numbers)
{
	record ja = named("ja"), all = named("all");
	ja.setting = {{1, 1, 0, 0, 0, 0, 0, 0, 5}};
	all.setting = {{1, 2, 3, 4, 5, 6, 7, -8, -9}};
	all.setting_flag = 0;
	struct {
		const char *name;
		std::vector<std::string> items;
		std::string lines; /* the items' lines, one level deep */
	} cases[] = {
		{"letters without parentheses", {url(ja, "u", 0)},
		    " Title:ja\n Comment:\n Setting:JA------,5\n URL:u\n Visited:0\n"},
		{"every letter, in parentheses", {url(all, "u", -1)},
		    " Title:all\n Comment:\n Setting:(JAXDPSVL,-9)\n URL:u\n Visited:-1\n"},
		{"each colour by its name", {folderhead(named("c"), 8, 0)},
		    " Title:c\n Comment:\n Setting:--------,0\n Color:\x8d\x95\n"},
		{"a colour past the table as a number", {folderhead(named("c"), 9, 0)},
		    " Title:c\n Comment:\n Setting:--------,0\n Color:9\n"},
		{"a colour below the table as a number", {folderhead(named("c"), -1, 0)},
		    " Title:c\n Comment:\n Setting:--------,0\n Color:-1\n"},
		{"two levels deep, no blank line at the end of a child list",
		    {folder("f", {url("a", "b")}, 2), url("n", "m")},
		    " Title:f\n Comment:\n Setting:--------,0\n Color:\x8e\x87\n"
		    "  Title:a\n  Comment:\n  Setting:--------,0\n  URL:b\n  Visited:7\n"
		    "\n"
		    " Title:n\n Comment:\n Setting:--------,0\n URL:m\n Visited:7\n"},
	};
	const std::string head = "Title:L\nComment:\nSetting:--------,0\nColor:\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\n";
	const std::string tail = "\nTitle:F\nComment:\nSetting:--------,0\nColor:\x83\x66\x83\x74\x83\x48\x83\x8b\x83\x67\n";
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(listing(sfvfile(root("L", c.items), root("F", {}))), head + c.lines + tail);
	}
}

} // namespace
