/*
 * Favourites files built byte by byte, so that each test states the
 * bytes it feeds in a few readable lines.
 */
#ifndef SFVBUILDER_H
#define SFVBUILDER_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/* The fields every record holds, with values that show if they are lost. */
struct record {
	std::string title;
	std::string comment;
	int32_t setting_flag = 1;
	std::array<int32_t, 9> setting{};
	std::array<int32_t, 4> opaque{{101, -202, 0x7fffffff, -404}};
};

inline record
named(std::string title, std::string comment = "")
{
	record r;
	r.title = std::move(title);
	r.comment = std::move(comment);
	return r;
}

inline std::string
le32(int32_t v)
{
	uint32_t u = static_cast<uint32_t>(v);
	std::string s;
	for (int i = 0; i < 4; i++)
		s += static_cast<char>((u >> (8 * i)) & 0xff);
	return s;
}

inline std::string
text(std::string_view s)
{
	return le32(static_cast<int32_t>(s.size())) + std::string(s);
}

inline std::string
header()
{
	return std::string("SFV-FORMAT\x1a\x65\x00", 13);
}

/* Fields 2 to 11 of a record: texts and numbers, in file order. */
inline std::string
body(const record &r)
{
	std::string s = text(r.title) + text(r.comment);
	s += le32(r.opaque[0]) + le32(r.opaque[1]) + le32(r.opaque[2]);
	s += le32(r.setting_flag);
	for (int32_t v : r.setting)
		s += le32(v);
	return s + le32(r.opaque[3]);
}

inline std::string
url(const record &r, std::string_view u, int32_t visited)
{
	return "\x01" + body(r) + text(u) + le32(visited);
}

inline std::string
url(std::string_view title, std::string_view u)
{
	return url(named(std::string(title)), u, 7);
}

/* A folder record up to its child count; the children follow it. */
inline std::string
folderhead(const record &r, int32_t color, int32_t count)
{
	return "\x02" + body(r) + le32(color) + le32(count);
}

inline std::string
join(const std::vector<std::string> &items)
{
	std::string s;
	for (const std::string &i : items)
		s += i;
	return s;
}

inline std::string
folder(std::string_view title, const std::vector<std::string> &children, int32_t color = 0)
{
	return folderhead(named(std::string(title)), color,
	    static_cast<int32_t>(children.size())) + join(children);
}

/* A root: a folder record without its type byte. */
inline std::string
root(std::string_view title, const std::vector<std::string> &children)
{
	return folder(title, children).substr(1);
}

/* A root up to its child count, for counts that differ from what follows. */
inline std::string
roothead(std::string_view title, int32_t count)
{
	return folderhead(named(std::string(title)), 0, count).substr(1);
}

inline std::string
sfvfile(const std::string &links, const std::string &favorite)
{
	return header() + links + favorite;
}

/* A LINKS root holding a chain of folders depth levels deep, and an empty Favorite. */
inline std::string
deepfile(int depth)
{
	std::string s = header() + roothead("L", 1);
	std::string level = folderhead(named("d"), 0, 1);
	s.reserve(s.size() + level.size() * depth + 256);
	for (int i = 1; i < depth; i++)
		s += level;
	s += folderhead(named("d"), 0, 2) + url("deep", "http://deep/") + url("again", "http://deep/");
	return s + root("F", {});
}

#endif
