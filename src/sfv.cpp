// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * Bookmark items and the SFV 1.01 favourites file: reading a tree of
 * item records into items, writing items back as records.
 *
 * Every byte of a source file comes through takebytes(), which fails
 * when the file ends; no length, count or type is acted on before the
 * file has supplied it in full. Walks keep their own stack, so the
 * nesting depth of a file never becomes depth of the call stack.
 */
#include <cstdlib>
#include <cstring>
#include <new>

#include "vantrel.h"

/* A text of a record where it lies in the reader's buffer, all the bytes its length covers. */
struct sfvtext {
	const unsigned char *bytes;
	size_t len;
};

/*
 * An item record as read from the file, before it has an item of its
 * own. Its texts lie in the reader's buffer, which keeps them until the
 * next record is read.
 */
struct sfvrecord {
	sfvitem fields;
	int32_t children;
	sfvtext title;
	sfvtext comment;
	sfvtext url;
};

/*
 * The most bytes an item record takes: that of a URL item, with its
 * type, three texts at their longest, the numbers and the visit count.
 * The reader's buffer holds one whole.
 */
#define SFV_RECORDMAX (1 + 3 * (4 + SFV_TEXTMAX) + SFV_NUMBERS * 4 + 4)
static_assert(sizeof(sfvreader::buf) >= SFV_RECORDMAX, "a record fits in the reader's buffer");

enum readerror { READ_OK, READ_EOF, READ_LENGTH, READ_TYPE, READ_NOITEM, READ_NOSTACK };

static const char *const readmessages[] = {
	"",
	"Error: readitemfromsfv: unexpected end of file\n",
	"Error: readitemfromsfv: illegal length\n",
	"Error: readitemfromsfv: illegal type\n",
	"Error: readitemfromsfv: can't new sfvitem\n",
	"Error: readitemfromsfv: can't malloc stack\n",
};

/*
 * Allocates an item with room for textsize bytes of texts after it;
 * child and next are none, all else is for the caller to fill.
 * Reports and returns none when memory runs out.
 */
static sfvitem *
new_sfvitem(size_t textsize)
{
	void *p = itemalloc(sizeof(sfvitem) + textsize);

	if (p == nullptr) {
		std::fputs("Error: new_sfvitem: can't malloc\n", stdout);
		return nullptr;
	}
	return new (p) sfvitem();
}

/*
 * Frees item, everything below it and all its later siblings. Rotating
 * each first child up into the sibling chain flattens the tree as it
 * goes, so no stack is needed and nothing can fail.
 */
void
free_sfvitem(sfvitem *item)
{
	while (item != nullptr) {
		if (item->child != nullptr) {
			sfvitem *first = item->child;
			item->child = first->next;
			first->next = item;
			item = first;
		} else {
			sfvitem *next = item->next;
			itemfree(item);
			item = next;
		}
	}
}

void
initreader(sfvreader *r, FILE *fp)
{
	r->fp = fp;
	r->pos = 0;
	r->len = 0;
}

/*
 * Makes sure the buffer holds at least the next n bytes of the file,
 * or all that is left of it when fewer remain: moves the unread bytes
 * to the front and reads more behind them. n must fit in the buffer.
 */
static void
fillreader(sfvreader *r, size_t n)
{
	if (r->len - r->pos >= n)
		return;
	std::memmove(r->buf, r->buf + r->pos, r->len - r->pos);
	r->len -= r->pos;
	r->pos = 0;
	while (r->len < n) {
		size_t k = std::fread(r->buf + r->len, 1, sizeof(r->buf) - r->len, r->fp);
		if (k == 0)
			return;
		r->len += k;
	}
}

/*
 * Consumes the next n bytes of the file and returns where they lie in
 * the buffer, until it is next filled. Returns none, having consumed
 * nothing, when the buffer holds fewer; as the buffer is filled for a
 * whole header or record before its fields are read, that happens only
 * where the file ends.
 */
static inline const unsigned char *
takebytes(sfvreader *r, size_t n)
{
	if (r->len - r->pos < n)
		return nullptr;
	r->pos += n;
	return r->buf + r->pos - n;
}

/* The little-endian signed 32-bit integer at *cursor, which moves past it. */
static int32_t
takeint(const unsigned char **cursor)
{
	const unsigned char *b = *cursor;

	*cursor += 4;
	return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 |
	    uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
}

/* Reads a little-endian signed 32-bit integer. */
static bool
readint(sfvreader *r, int32_t *v)
{
	const unsigned char *b = takebytes(r, 4);

	if (b == nullptr)
		return false;
	*v = takeint(&b);
	return true;
}

/*
 * Checks the signature and the version that open every favourites file.
 * Returns HEADER_NOTSFV for a short or wrong signature, HEADER_VERSION
 * for a missing version or any version but 1.01.
 */
headercheck
readheader(sfvreader *r)
{
	fillreader(r, SFV_MAGICLEN + SFV_VERSIONLEN);
	const unsigned char *magic = takebytes(r, SFV_MAGICLEN);
	if (magic == nullptr || std::memcmp(magic, SFV_MAGIC, SFV_MAGICLEN) != 0)
		return HEADER_NOTSFV;
	const unsigned char *version = takebytes(r, SFV_VERSIONLEN);
	if (version == nullptr || (version[0] | version[1] << 8) != SFV_VERSION)
		return HEADER_VERSION;
	return HEADER_OK;
}

/*
 * Reads a length-prefixed text, leaving it in the buffer. The length
 * must lie in 0..SFV_TEXTMAX.
 */
static readerror
readtext(sfvreader *r, sfvtext *text)
{
	int32_t len;

	if (!readint(r, &len))
		return READ_EOF;
	if (len < 0 || len > SFV_TEXTMAX)
		return READ_LENGTH;
	if ((text->bytes = takebytes(r, size_t(len))) == nullptr)
		return READ_EOF;
	text->len = size_t(len);
	return READ_OK;
}

static_assert(SFV_NUMBERS == 5 + sizeof(sfvitem::setting) / sizeof(int32_t),
    "the four opaque numbers, setting_flag and the settings");

/*
 * Reads the numbers that every record holds after its texts, taken in
 * one piece and in the order writenumbers() writes them.
 */
static bool
readnumbers(sfvreader *r, sfvitem *f)
{
	const unsigned char *b = takebytes(r, SFV_NUMBERS * 4);

	if (b == nullptr)
		return false;
	f->opaque1 = takeint(&b);
	f->opaque2 = takeint(&b);
	f->opaque3 = takeint(&b);
	f->setting_flag = takeint(&b);
	for (int32_t &s : f->setting)
		s = takeint(&b);
	f->opaque4 = takeint(&b);
	return true;
}

/*
 * Reads the tail of a URL record or a folder record. A folder's child
 * count is kept in rec->children, below zero meaning none.
 */
static readerror
readtail(sfvreader *r, unsigned char type, sfvrecord *rec)
{
	readerror err;

	switch (type) {
	case SFV_URL:
		rec->fields.kind = SFV_URL;
		if ((err = readtext(r, &rec->url)) != READ_OK)
			return err;
		return readint(r, &rec->fields.visited) ? READ_OK : READ_EOF;
	case SFV_FOLDER:
		rec->fields.kind = SFV_FOLDER;
		if (!readint(r, &rec->fields.color) ||
		    !readint(r, &rec->children))
			return READ_EOF;
		return READ_OK;
	default:
		return READ_TYPE;
	}
}

/*
 * Reads one item record, without its children, into rec, which starts
 * empty; a root, with no type byte, is a folder.
 */
static readerror
readrecord(sfvreader *r, bool has_type, sfvrecord *rec)
{
	static const unsigned char folder = SFV_FOLDER;
	readerror err;

	fillreader(r, SFV_RECORDMAX);
	const unsigned char *type = has_type ? takebytes(r, 1) : &folder;
	if (type == nullptr)
		return READ_EOF;
	if ((err = readtext(r, &rec->title)) != READ_OK ||
	    (err = readtext(r, &rec->comment)) != READ_OK)
		return err;
	if (!readnumbers(r, &rec->fields))
		return READ_EOF;
	return readtail(r, *type, rec);
}

/*
 * Copies text to *room, zero-terminated, and returns where it went;
 * *room moves past it. A text that is none (a folder's url) is empty.
 * A text ends at its first zero byte: the bytes after one are copied
 * too, but every user of the item stops at that zero.
 */
static char *
placetext(char **room, const sfvtext &text)
{
	char *p = *room;

	if (text.len > 0)
		std::memcpy(p, text.bytes, text.len);
	p[text.len] = '\0';
	*room += text.len + 1;
	return p;
}

/* Makes an item of a record read in full, before the buffer is filled again. */
static sfvitem *
newitem(const sfvrecord *rec)
{
	const size_t terminators = 3;
	size_t size = rec->title.len + rec->comment.len + rec->url.len + terminators;
	sfvitem *item = new_sfvitem(size);

	if (item == nullptr)
		return nullptr;
	*item = rec->fields;
	char *room = reinterpret_cast<char *>(item + 1);
	item->title = placetext(&room, rec->title);
	item->comment = placetext(&room, rec->comment);
	item->url = placetext(&room, rec->url);
	return item;
}

/* Reads one record and makes its item; *children gets its child count. */
static readerror
readitem(sfvreader *r, bool has_type, sfvitem **item, int32_t *children)
{
	sfvrecord rec = {};
	readerror err = readrecord(r, has_type, &rec);

	if (err != READ_OK)
		return err;
	*item = newitem(&rec);
	*children = rec.children;
	return *item != nullptr ? READ_OK : READ_NOITEM;
}

/* A folder whose children are still being read. */
struct openfolder {
	sfvitem **tail;
	int32_t left;
};

/*
 * Opens folder for its children to be read; READ_NOSTACK when memory
 * for the list of open folders runs out.
 */
static readerror
openchildren(std::vector<openfolder> *open, sfvitem *folder, int32_t children)
{
	try {
		open->push_back({&folder->child, children});
	} catch (const std::bad_alloc &) {
		return READ_NOSTACK;
	}
	return READ_OK;
}

/*
 * Reads one item record and the records of all its descendants, and
 * returns the item with its children linked in file order. At the
 * first problem (the file ends, a length is out of range, a type is
 * unknown, memory runs out) it reports, frees what it read and
 * returns none.
 */
sfvitem *
readitemfromsfv(sfvreader *r, bool has_type)
{
	std::vector<openfolder> open;
	sfvitem *root = nullptr;
	int32_t children;
	readerror err = readitem(r, has_type, &root, &children);

	if (err == READ_OK)
		err = openchildren(&open, root, children);
	while (err == READ_OK && !open.empty()) {
		if (open.back().left <= 0) {
			open.pop_back();
			continue;
		}
		open.back().left--;
		sfvitem *item;
		if ((err = readitem(r, true, &item, &children)) != READ_OK)
			break;
		*open.back().tail = item;
		open.back().tail = &item->next;
		if (item->kind == SFV_FOLDER)
			err = openchildren(&open, item, children);
	}
	if (err == READ_OK)
		return root;
	std::fputs(readmessages[err], stdout);
	free_sfvitem(root);
	return nullptr;
}

/*
 * Tells whether the file ends where the reader stands, as it must once
 * the Favorite tree is read: a byte after it may be a record that a
 * damaged count left out, so it refuses the file. Reports and returns
 * false when a byte follows; what follows it is never read.
 */
bool
readend(sfvreader *r)
{
	fillreader(r, 1);
	if (r->len == r->pos)
		return true;
	std::fputs("Error: readitemfromsfv: bytes after the Favorite tree\n", stdout);
	return false;
}

/* Readies w to write to sink(to, ...). */
void
initwriter(sfvwriter *w, bool (*sink)(void *, const void *, size_t), void *to)
{
	w->sink = sink;
	w->to = to;
	w->len = 0;
	w->failed = false;
}

/* Hands the buffered bytes to the sink. */
static void
drain(sfvwriter *w)
{
	if (!w->failed && !w->sink(w->to, w->buf, w->len))
		w->failed = true;
	w->len = 0;
}

/* Appends n bytes to the file, draining the buffer as often as it fills. */
static void
writeacross(sfvwriter *w, const unsigned char *src, size_t n)
{
	while (n > 0) {
		if (w->len == sizeof(w->buf))
			drain(w);
		size_t k = sizeof(w->buf) - w->len < n ? sizeof(w->buf) - w->len : n;
		std::memcpy(w->buf + w->len, src, k);
		w->len += k;
		src += k;
		n -= k;
	}
}

/*
 * Appends n bytes to the file; after a failure, writes are dropped.
 * Nearly every field fits in what is left of the buffer and takes one
 * copy.
 */
static inline void
writebytes(sfvwriter *w, const void *src, size_t n)
{
	if (sizeof(w->buf) - w->len < n) {
		writeacross(w, static_cast<const unsigned char *>(src), n);
		return;
	}
	std::memcpy(w->buf + w->len, src, n);
	w->len += n;
}

/* Writes a little-endian signed 32-bit integer. */
static inline void
writeint(sfvwriter *w, int32_t v)
{
	uint32_t u = static_cast<uint32_t>(v);
	unsigned char b[4] = {
		static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
		static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24),
	};

	writebytes(w, b, sizeof(b));
}

/* Writes the numbers that every record holds after its texts. */
static void
writenumbers(sfvwriter *w, const sfvitem *item)
{
	writeint(w, item->opaque1);
	writeint(w, item->opaque2);
	writeint(w, item->opaque3);
	writeint(w, item->setting_flag);
	for (int32_t s : item->setting)
		writeint(w, s);
	writeint(w, item->opaque4);
}

/* Writes a text with its length, up to its terminating zero. */
static void
writetext(sfvwriter *w, const char *text)
{
	size_t len = std::strlen(text);

	writeint(w, static_cast<int32_t>(len));
	writebytes(w, text, len);
}

void
writeheader(sfvwriter *w)
{
	const unsigned char version[2] = {SFV_VERSION & 0xff, SFV_VERSION >> 8};

	writebytes(w, SFV_MAGIC, SFV_MAGICLEN);
	writebytes(w, version, sizeof(version));
}

/* Counts the items of a sibling list. */
static int32_t
countlist(const sfvitem *list)
{
	int32_t n = 0;

	for (; list != nullptr; list = list->next)
		n++;
	return n;
}

/* Writes one item record; a folder's children are for the caller. */
static void
writerecord(sfvwriter *w, const sfvitem *item, bool has_type)
{
	if (has_type) {
		unsigned char type = item->kind == SFV_URL ? SFV_URL : SFV_FOLDER;
		writebytes(w, &type, 1);
	}
	writetext(w, item->title);
	writetext(w, item->comment);
	writenumbers(w, item);
	if (has_type && item->kind == SFV_URL) {
		writetext(w, item->url);
		writeint(w, item->visited);
	} else {
		writeint(w, item->color);
		writeint(w, countlist(item->child));
	}
}

/*
 * Writes item and, for a folder, the records of all its descendants in
 * file order. Without has_type the item is a root: a folder with no
 * type byte. A failed write shows in w->failed; memory for the walk
 * running out throws std::bad_alloc.
 */
void
savetosfv(sfvwriter *w, const sfvitem *item, bool has_type)
{
	std::vector<const sfvitem *> pending;

	writerecord(w, item, has_type);
	for (const sfvitem *it = item->child; it != nullptr; it = nextpreorder(it, &pending))
		writerecord(w, it, true);
}

/* Hands every buffered byte to the sink. Returns false if any write failed. */
bool
flushwriter(sfvwriter *w)
{
	drain(w);
	return !w->failed;
}
