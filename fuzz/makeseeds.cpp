/*
 * Writes the fuzz target's seed files into the folder given: whole
 * files, files with duplicates, deep nesting, and every kind of damage
 * the reader must refuse, all made by the tests' own byte builder.
 */
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "../tests/sfvbuilder.h"

static std::vector<std::pair<std::string, std::string>>
seeds()
{
	const std::string a = url("a", "http://a/"), b = url("b", "http://b/");
	const std::string good = sfvfile(root("L", {a, folder("f", {b, url("c", "http://a/")}, 3)}),
	    root("F", {url("d", "http://b/"), folder("e", {})}));
	record odd = named("\x83\x6a\x83\x85", "comment \xff");
	odd.setting_flag = 0;
	odd.setting = {{1, 0, -1, 0, 2, 0, 0, 1, -7}};
	odd.opaque = {{INT32_MIN, -1, 0, INT32_MAX}};
	const std::string goodurl = url("t", "u");

	std::vector<std::pair<std::string, std::string>> s = {
		{"empty-trees", sfvfile(root("", {}), root("", {}))},
		{"plain", good},
		{"odd-fields", sfvfile(root("L", {url(odd, "u\x80", -1), folderhead(odd, 9, 0)}),
		    root("F", {folder("g", {url("", "")}, -3)}))},
		{"longest-texts", sfvfile(root(std::string(1024, 'x'), {url("t", std::string(1024, 'u'))}), root("F", {}))},
		{"dups-across-trees", sfvfile(root("L", {a, b}), root("F", {a, folder("f", {b, a}), b}))},
		{"dups-empty-urls", sfvfile(root("L", {url("1", ""), url("2", " "), url("3", "")}), root("F", {}))},
		{"dups-emptying-folders", sfvfile(root("L", {a, folder("f", {a, a}), b}), root("F", {folder("g", {b})}))},
		{"dups-nested", sfvfile(root("L", {folder("a", {folder("b", {folder("c", {a, a})}), a})}), root("F", {a}))},
		{"deep-50", deepfile(50)},
		{"deep-200", deepfile(200)},
		{"zero-in-text", sfvfile(root(std::string("ab\0cd", 5), {url("t", std::string("u\0v", 3))}), root("F", {}))},
		{"negative-count", sfvfile(roothead("L", -5), root("F", {}))},
		{"trailing-bytes", good + "trailing"},
		{"no-file", ""},
		{"signature-only", "SFV-FORMAT\x1a"},
		{"wrong-signature", "SFV-FORMAT\x1b" + good.substr(11)},
		{"version-1.00", "SFV-FORMAT\x1a\x64" + good.substr(12)},
		{"header-only", header()},
		{"title-too-long", sfvfile(root(std::string(1025, 't'), {}), root("F", {}))},
		{"negative-length", header() + le32(-1) + std::string(64, 'x')},
		{"url-too-long", header() + roothead("L", 1) + url(named("t"), std::string(1025, 'u'), 0)},
		{"type-0", header() + roothead("L", 1) + std::string(1, '\0') + goodurl.substr(1)},
		{"type-7", header() + roothead("L", 1) + "\x07" + goodurl.substr(1) + root("F", {})},
		{"count-beyond-file", header() + roothead("L", 1000000000) + goodurl},
		{"count-beyond-children", header() + roothead("L", 3) + goodurl + goodurl},
		{"no-favorite", header() + root("L", {a})},
	};
	for (size_t cut : {20, 60, 100, 140, 200, 260})
		if (cut < good.size())
			s.push_back({"cut-at-" + std::to_string(cut), good.substr(0, cut)});
	return s;
}

int
main(int argc, char **argv)
{
	if (argc != 2) {
		std::fputs("usage: makeseeds folder\n", stdout);
		return 1;
	}
	for (const auto &seed : seeds()) {
		std::string path = std::string(argv[1]) + "/" + seed.first + ".sfv";
		FILE *fp = std::fopen(path.c_str(), "wb");
		if (fp == nullptr || std::fwrite(seed.second.data(), 1, seed.second.size(), fp) != seed.second.size() ||
		    std::fclose(fp) != 0) {
			std::printf("makeseeds: can't write %s\n", path.c_str());
			return 1;
		}
	}
	return 0;
}
