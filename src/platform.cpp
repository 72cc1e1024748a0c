// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * The destination's safe replacement, the same on every system; the
 * system's own calls are in unix.cpp and windows.cpp.
 *
 * A destination that is a regular file, or one yet to be made, is
 * written to a new file in its folder and put in its place only once
 * complete and on disk, so that a run that fails, or is stopped at any
 * moment, leaves the former file as it was and nothing beside it. The
 * new file has no name while it is written where the system allows it;
 * a new destination is then given its name straight away, and a file
 * that is replaced takes a temporary name only for the instant before
 * the rename.
 *
 * Only three destinations are written straight: one that is no regular
 * file (a device, a pipe, one of the run's own descriptors), one in a
 * folder that refuses a new file for permission, and one in a folder
 * that lets no name go (append-only), where no file can be replaced.
 * Any other failure to make or name the new file ends the export, the
 * former file untouched.
 */
#include <cerrno>
#include <random>

#include "platform.h"

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
	for (size_t i = name->size() - 6; i < name->size(); i++) {
		state = state * 6364136223846793005ULL + 1442695040888963407ULL;
		(*name)[i] = letters[(state >> 33) % (sizeof(letters) - 1)];
	}
}

/*
 * A temporary name beside the destination p: its name, a dot and six
 * random letters, the name cut short where the folder would not take
 * the whole. A cut never splits a UTF-8 character.
 */
static std::string
tempname(const place &p)
{
	std::string base = p.name;
	size_t room = namemax(p) - 7;

	if (base.size() > room) {
		while (room > 0 && (base[room] & 0xc0) == 0x80)
			room--;
		base.resize(room);
	}
	std::string name = base + ".XXXXXX";
	newletters(&name);
	return name;
}

/*
 * Makes a new file named out->temp, or another name like it where that
 * is taken, and opens it. From the moment it exists its name is the one
 * to remove should the run be stopped.
 */
static int
createtemp(output *out, int mode)
{
	for (int tries = 0; tries < 100; tries++) {
		holdstops();
		int fd = createnew(out->dest, out->temp.c_str(), mode);
		int err = errno;
		if (fd != -1) {
			out->named = true;
			removeonstop(&out->dest, out->temp.c_str());
		}
		releasestops();
		if (fd != -1 || err != EEXIST) {
			errno = err;
			return fd;
		}
		newletters(&out->temp);
	}
	return -1;
}

/* Gives up the new file's name, if it has one: no file of it stays. */
static void
removetemp(output *out)
{
	holdstops();
	if (out->named)
		removefile(out->dest, out->temp.c_str());
	out->named = false;
	removeonstop(nullptr, nullptr);
	releasestops();
}

/* Opens the destination itself for writing; kind says what it is. */
static bool
openstraightout(output *out, destkind kind)
{
	int fd = openstraight(&out->dest, kind);

	if (fd == -1)
		return false;
	initwriter(&out->w, fd);
	out->file = kind == DEST_FILE || kind == DEST_NEW;
	return true;
}

/*
 * Makes the new file that will take the place of out->dest and of old,
 * the file there now, or of no file when old is none: an unnamed file
 * where the system and the folder make one, else a named one, but
 * never a named one in an append-only folder, which could not let its
 * name go. A folder that refuses the new file for permission has the
 * destination written straight. The temporary name is chosen first,
 * so that nothing need be allocated once the file exists.
 */
static bool
openreplacing(output *out, const struct stat *old)
{
	int mode = old != nullptr ? 0600 : 0666;

	out->temp = tempname(out->dest);
	int fd = createunnamed(out->dest, mode);
	if (fd == -1) {
		if (appendonly(out->dest))
			return openstraightout(out, DEST_FILE);
		fd = createtemp(out, mode);
	}
	if (fd == -1)
		return (errno == EACCES || errno == EPERM) && openstraightout(out, DEST_FILE);
	if (!keepattrs(fd, out->dest, old)) {
		closefile(fd);
		removetemp(out);
		return false;
	}
	initwriter(&out->w, fd);
	out->replace = true;
	out->file = true;
	return true;
}

/* Opens the destination for an export; false when it cannot be written. */
static bool
opendest(output *out, const std::string &name)
{
	struct stat st;
	destkind kind = finddest(name, &out->dest, &st);

	catchstops();
	switch (kind) {
	case DEST_FAILED:
		return false;
	case DEST_OTHER:
	case DEST_STREAM:
		return openstraightout(out, kind);
	case DEST_FILE:
		if (!writable(out->dest))
			return false;
		out->exists = true;
		if (appendonly(out->dest))
			return openstraightout(out, kind);
		return openreplacing(out, &st);
	case DEST_NEW:
		break;
	}
	return openreplacing(out, nullptr);
}

bool
openoutput(output *out, const std::string &name)
{
	if (opendest(out, name))
		return true;
	closeplace(&out->dest);
	return false;
}

/* Writes all n bytes at buf to fd; false at the first failure. */
bool
writeall(int fd, const void *buf, size_t n)
{
	const char *p = static_cast<const char *>(buf);

	while (n > 0) {
		long k = writesome(fd, p, n);
		if (k <= 0)
			return false;
		p += k;
		n -= size_t(k);
	}
	return true;
}

/* Gives up an export: closes it and removes the new file. */
void
discardoutput(output *out)
{
	closefile(out->w.fd);
	removetemp(out);
	closeplace(&out->dest);
}

/*
 * Gives the unnamed new file the name out->temp, or another like it
 * where that is taken; the caller holds the stop signals.
 */
static bool
nametemp(output *out)
{
	for (int tries = 0; tries < 100; tries++) {
		if (nameunnamed(out->w.fd, out->dest, out->temp.c_str())) {
			removeonstop(&out->dest, out->temp.c_str());
			return out->named = true;
		}
		if (errno != EEXIST)
			return false;
		newletters(&out->temp);
	}
	return false;
}

/*
 * Puts the new file in the destination's place, with the stop signals
 * held and the file still open: a new destination is given its name
 * straight away; a file there now, or one that took the name meanwhile,
 * is replaced by a rename from the temporary name, which the new file
 * bears for that instant alone.
 */
static bool
putinplace(output *out)
{
	bool done = false;

	holdstops();
	if (!out->named && !out->exists)
		done = nameunnamed(out->w.fd, out->dest, out->dest.name.c_str());
	if (!done && (out->named || out->exists || errno == EEXIST))
		done = (out->named || nametemp(out)) &&
		    replacefile(out->dest, out->temp.c_str());
	if (done) {
		out->named = false;
		removeonstop(nullptr, nullptr);
	}
	releasestops();
	return done;
}

/*
 * Completes an export: flushes the file to disk, puts it in place and
 * puts the folder's change on disk too, so that the new file survives a
 * power loss once this returns COMPLETE_OK. The new file is closed
 * last; as its bytes are on disk by then, its close can fail nothing.
 */
completion
completeoutput(output *out)
{
	if (!flushwriter(&out->w) || (out->file && !syncfile(out->w.fd))) {
		discardoutput(out);
		return COMPLETE_FAILED;
	}
	if (!out->replace) {
		closeplace(&out->dest);
		return closefile(out->w.fd) ? COMPLETE_OK : COMPLETE_FAILED;
	}
	if (!putinplace(out)) {
		discardoutput(out);
		return COMPLETE_FAILED;
	}
	bool synced = syncfolder(out->dest, out->w.fd);
	closefile(out->w.fd);
	closeplace(&out->dest);
	return synced ? COMPLETE_OK : COMPLETE_UNSYNCED;
}
