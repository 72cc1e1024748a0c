// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * The platform layer on Unix: the standard descriptors, the stop
 * signals, the source file, and the output, which puts a new file in
 * the place of the destination.
 *
 * The new file has no name while it is written where the system allows
 * it (O_TMPFILE): a new destination is then given its name straight
 * away, and a file that is replaced is given a temporary name only for
 * the instant before the rename. Elsewhere it is made under a temporary
 * name (O_CREAT|O_EXCL), which the stop signals remove. Only three
 * destinations are written straight: one that is no regular file (a
 * device, a pipe, one of the run's own descriptors), one in a folder
 * that refuses a new file for permission, and one in a folder that
 * lets no name go (append-only), where no file can be replaced. Any
 * other failure to make or name the new file ends the export, the
 * former file untouched.
 *
 * The destination is reached through its folder's descriptor. Every
 * step after the folder is opened (the new file, its name, the rename,
 * the flush) is taken relative to it, so that only a name within the
 * folder must fit the folder's limits and no name can be redirected
 * between two steps. Symbolic links are followed here, one at a time,
 * under the kernel's own rules.
 */
#ifndef _WIN32
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#endif

#include "platform.h"

/*
 * Where Unix systems differ. A folder is opened for searching alone
 * with O_PATH on Linux and O_SEARCH elsewhere. macOS takes one more
 * argument to each call on extended attributes, and flushes a file
 * past the drive's own cache only when asked with F_FULLFSYNC.
 */
#if defined(O_PATH)
#define O_SEARCHONLY O_PATH
#elif defined(O_SEARCH)
#define O_SEARCHONLY O_SEARCH
#endif
#if defined(__APPLE__) && defined(XATTR_NOFOLLOW)
#define listattrs(fd, names, size) flistxattr(fd, names, size, 0)
#define getattr(fd, name, value, size) fgetxattr(fd, name, value, size, 0, 0)
#define setattr(fd, name, value, size) fsetxattr(fd, name, value, size, 0, 0)
#elif defined(__linux__) && defined(XATTR_CREATE)
#define listattrs(fd, names, size) flistxattr(fd, names, size)
#define getattr(fd, name, value, size) fgetxattr(fd, name, value, size)
#define setattr(fd, name, value, size) fsetxattr(fd, name, value, size, 0)
#define ENOATTR ENODATA
#endif
#if defined(F_FULLFSYNC)
#define flushfile(fd) (fcntl(fd, F_FULLFSYNC) == 0 || fsync(fd) == 0)
#else
#define flushfile(fd) (fsync(fd) == 0)
#endif

/* The most links a name may lead through, as the kernel allows. */
#define MAXLINKS 40
#ifndef PATH_MAX
#define PATH_MAX 4096
#endif

/*
 * Where a file lies: the folder that holds it, held open so that each
 * step is taken in the very folder the name was found in, and its name
 * there.
 */
struct place {
	int dir = -1;
	std::string name;
};

/* Closes the folder p holds, if any. */
static void
closeplace(place *p)
{
	if (p->dir >= 0)
		close(p->dir);
	p->dir = -1;
}

/* What a destination name stands for, its links followed. */
enum destkind {
	DEST_FAILED, /* nothing that can be written: errno tells why */
	DEST_NEW,    /* no file yet: one is to be made */
	DEST_FILE,   /* a regular file, to be replaced */
	DEST_OTHER,  /* a device, a pipe or anything else, to be written straight */
	DEST_STREAM  /* one of the run's own descriptors, to be written straight */
};

/* How an output is written, chosen once when it opens. */
enum way {
	WAY_STREAM,      /* a device, a pipe or one of the run's descriptors, written as it is */
	WAY_STRAIGHT,    /* the file itself, emptied or made, written in place */
	WAY_LINKNEW,     /* an unnamed file, linked to the new destination's name */
	WAY_LINKREPLACE, /* an unnamed file, linked to a temporary name, renamed over the file there */
	WAY_RENAME       /* a file made under a temporary name, renamed over the destination */
};

/* A destination being written. */
struct output {
	way how = WAY_STREAM;
	place dest;         /* the file to replace or make: a symbolic link's target */
	std::string temp;   /* the new file's temporary name in dest's folder, chosen when it opens */
	int fd = -1;        /* the file written */
	bool named = false; /* the new file bears temp now, and loses it unless put in place */
};

/*
 * Holds each closed standard descriptor, so that no file the run opens
 * can take its place and receive its messages: with /dev/null, or where
 * there is none (a chroot without /dev) with the reading end of a pipe
 * that has no writer. Standard output is held by something that can't
 * be written: a run that had none could not print what it was asked
 * to, and its failed writes end it as a run whose output failed.
 * Returns false when a descriptor can't be held at all.
 */
static bool
guardstdfds(void)
{
	for (int fd = 0; fd <= 2; fd++) {
		int p[2];
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		if (open("/dev/null", fd == 1 ? O_RDONLY : O_RDWR) == fd)
			continue;
		if (pipe(p) != 0)
			return false;
		close(p[1]);
	}
	return true;
}

FILE *
openinput(const std::string &name)
{
	return std::fopen(name.c_str(), "rb");
}

/* The signals whose default action ends the run, faults among them. */
static const int stopsignals[] = {
	SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
	SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSEGV, SIGBUS, SIGFPE, SIGILL,
	SIGABRT, SIGTRAP, SIGSYS,
};

static sigset_t caught;     /* the stop signals the run catches */
static sigset_t callermask; /* the signal mask to restore when they are let in */
static bool holding;        /* the stop signals are held now */
static struct sigaction before[NSIG]; /* each stop signal's action before the run caught it */

/*
 * The new file to remove should the run be stopped, while it has a
 * name; the handler reads it, so it changes only while the signals are
 * held.
 */
static int stopdir;
static const char *volatile stopname;

/*
 * With a new file named, removes it and lets the signal end the run as
 * its default action does (SA_RESETHAND has put it back), so that the
 * status is 128+n. With none, gives the signal back to whatever had it
 * before the run (a checker's report of a fault, the default action):
 * a fault met anywhere else is theirs. The signal is held while this
 * runs, so raise() lands once this returns; a fault's instruction then
 * runs again, to the same end.
 */
static void
onstop(int sig)
{
	if (stopname != nullptr)
		unlinkat(stopdir, stopname, 0);
	else
		sigaction(sig, &before[sig], nullptr);
	raise(sig);
}

/*
 * Cleans up on every signal that ends a run, save those it was started
 * ignoring (under nohup, say), which stay ignored.
 */
static void
catchstops(void)
{
	struct sigaction sa = {};

	sigemptyset(&sa.sa_mask);
	for (int sig : stopsignals)
		sigaddset(&sa.sa_mask, sig);
	sa.sa_handler = onstop;
	sa.sa_flags = SA_RESETHAND;
	sigemptyset(&caught);
	for (int sig : stopsignals)
		if (sigaction(sig, nullptr, &before[sig]) == 0 && before[sig].sa_handler != SIG_IGN &&
		    sigaction(sig, &sa, nullptr) == 0)
			sigaddset(&caught, sig);
}

/*
 * Holds the stop signals (sigprocmask) while the new file changes name,
 * and from the moment it is in place; the caller's mask is kept. Holds
 * do not nest: one release lets them in.
 */
static void
holdstops(void)
{
	if (!holding)
		holding = sigprocmask(SIG_BLOCK, &caught, &callermask) == 0;
}

/* Sets back the mask the run had, so that a signal the caller blocked stays blocked. */
static void
releasestops(void)
{
	int err = errno;

	if (holding)
		sigprocmask(SIG_SETMASK, &callermask, nullptr);
	holding = false;
	errno = err;
}

/* Tells the handler the name that out's new file bears now, if any. */
static void
removeonstop(const output *out)
{
	stopdir = out->dest.dir;
	stopname = out->named ? out->temp.c_str() : nullptr;
}

bool
startrun(int *, char ***)
{
	if (!guardstdfds())
		return false;
	catchstops();
	return true;
}

/*
 * The descriptor that a name stands for when it names one of the run's
 * own (/dev/stdout, /dev/fd/3, /proc/self/fd/3), or -1. Such a name is
 * written through the descriptor, never by replacing the file behind
 * it, which may be a log opened for appending.
 */
static int
owndescriptor(const std::string &name)
{
	static const char *const streams[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
	static const char *const folders[] = {"/dev/fd/", "/proc/self/fd/"};

	for (int fd = 0; fd <= 2; fd++)
		if (name == streams[fd])
			return fd;
	for (const char *folder : folders) {
		size_t n = std::strlen(folder);
		if (name.compare(0, n, folder) == 0 && name.size() > n && name.size() <= n + 9 &&
		    name.find_first_not_of("0123456789", n) == std::string::npos)
			return std::atoi(name.c_str() + n);
	}
	return -1;
}

/*
 * Opens a folder for the steps taken in it, relative to at. One that
 * may be searched but not read (mode 0300) is opened for searching
 * alone where the system allows it; it can't be flushed itself then.
 */
static int
openfolder(int at, const char *path)
{
	int fd = SYS(openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));

#if defined(O_SEARCHONLY)
	if (fd == -1 && errno == EACCES)
		fd = SYS(openat(at, path, O_SEARCHONLY | O_DIRECTORY | O_CLOEXEC));
#endif
	return fd;
}

/*
 * Moves p to the folder that holds path, taken relative to p's folder
 * (the working folder at first), and to path's last part. A path that
 * ends in "/" names the folder itself, as ".".
 */
static bool
enterfolder(place *p, const std::string &path)
{
	size_t sep = path.rfind('/');
	std::string folder = sep == std::string::npos ? "." : path.substr(0, sep + 1);
	int fd = openfolder(p->dir >= 0 ? p->dir : AT_FDCWD, folder.c_str());

	if (fd == -1)
		return false;
	closeplace(p);
	p->dir = fd;
	p->name = path.substr(sep == std::string::npos ? 0 : sep + 1);
	if (p->name.empty())
		p->name = ".";
	return true;
}

/*
 * Tells whether the link st, in p's folder, may be followed: not when
 * it lies in a sticky folder that others may write, and belongs to
 * neither the user running the run nor the folder's owner, where
 * another user may have planted it. The kernel applies this rule to
 * opening such a link wherever it is switched on; the run applies it
 * whatever the machine's setting.
 */
static bool
mayfollow(const place &p, const struct stat *st)
{
	struct stat folder;

	if (SYS(fstat(p.dir, &folder)) != 0)
		return false;
	if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH))
		return true;
	if (st->st_uid == geteuid() || st->st_uid == folder.st_uid)
		return true;
	errno = EACCES;
	return false;
}

/* Reads the text of the link that p names into *target; it can't be longer than a path. */
static bool
readlinkof(const place &p, std::string *target)
{
	target->resize(PATH_MAX);
	ssize_t n = SYS(readlinkat(p.dir, p.name.c_str(), &(*target)[0], PATH_MAX));
	if (n == -1 || n == PATH_MAX)
		return false;
	target->resize(size_t(n));
	return true;
}

/* Writes out to a copy of the run's descriptor fd, and to no file by name. */
static destkind
holddescriptor(output *out, int fd)
{
	out->fd = SYS(fcntl(fd, F_DUPFD_CLOEXEC, 3));
	if (out->fd == -1)
		return DEST_FAILED;
	closeplace(&out->dest);
	return DEST_STREAM;
}

/*
 * Finds what the destination name stands for, following symbolic links
 * one at a time, each relative to the folder it lies in, and leaves in
 * out->dest the folder and the name of the file at the end; *st is
 * that file's, when there is one. A link to no file leads to a new file
 * of its target's name. For DEST_STREAM out->fd is a copy of the
 * descriptor.
 */
static destkind
finddest(output *out, const std::string &name, struct stat *st)
{
	std::string path = name;
	place *p = &out->dest;

	for (int links = 0; links <= MAXLINKS; links++) {
		int fd = owndescriptor(path);
		if (fd != -1)
			return holddescriptor(out, fd);
		if (!enterfolder(p, path))
			return DEST_FAILED;
		if (SYS(fstatat(p->dir, p->name.c_str(), st, AT_SYMLINK_NOFOLLOW)) != 0)
			return errno == ENOENT ? DEST_NEW : DEST_FAILED;
		if (!S_ISLNK(st->st_mode))
			return S_ISREG(st->st_mode) ? DEST_FILE : DEST_OTHER;
		if (!mayfollow(*p, st) || !readlinkof(*p, &path))
			return DEST_FAILED;
	}
	errno = ELOOP;
	return DEST_FAILED;
}

static bool
writable(const place &p)
{
	return SYS(faccessat(p.dir, p.name.c_str(), W_OK, 0)) == 0;
}

/*
 * Tells whether the folder takes new entries but lets none go (an
 * append-only folder): no file there can be replaced, and no new one
 * removed.
 */
static bool
appendonly([[maybe_unused]] const place &p)
{
#if defined(STATX_ATTR_APPEND)
	struct statx sx;

	return statx(p.dir, "", AT_EMPTY_PATH, 0, &sx) == 0 &&
	    (sx.stx_attributes & sx.stx_attributes_mask & STATX_ATTR_APPEND) != 0;
#elif defined(UF_APPEND) && defined(SF_APPEND)
	struct stat st;

	return fstat(p.dir, &st) == 0 && (st.st_flags & (UF_APPEND | SF_APPEND)) != 0;
#else
	return false;
#endif
}

/* The longest name the folder takes; 255 where it does not say. */
static size_t
namemax(const place &p)
{
	long max = fpathconf(p.dir, _PC_NAME_MAX);

	return max > 7 ? size_t(max) : 255;
}

#if defined(O_TMPFILE)
/*
 * Tells whether an unnamed file can be named once written: only through
 * /proc, which a chroot may lack. The test build can be told there are
 * none (VANTREL_NOTMPFILE), as on a system without them.
 */
static bool
unnamedfiles(void)
{
#ifdef VANTREL_TESTBUILD
	if (std::getenv("VANTREL_NOTMPFILE") != nullptr)
		return false;
#endif
	return access("/proc/self/fd", X_OK) == 0;
}

/*
 * Makes the new file in the destination's folder with no name
 * (O_TMPFILE), so that it vanishes however the run ends until it is
 * given one; false where the system, the filesystem or the folder
 * makes none.
 */
static bool
createunnamed(output *out, int mode)
{
	if (!unnamedfiles()) {
		errno = EOPNOTSUPP;
		return false;
	}
	out->fd = SYS(openat(out->dest.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
	return out->fd != -1;
}
#else
static bool
createunnamed(output *, int)
{
	errno = EOPNOTSUPP;
	return false;
}
#endif

/* Gives the unnamed new file this name in its folder (linkat); errno EEXIST when the name is taken. */
static bool
linkunnamed(const output *out, const char *name)
{
	char self[32];

	std::snprintf(self, sizeof(self), "/proc/self/fd/%d", out->fd);
	return SYS(linkat(AT_FDCWD, self, out->dest.dir, name, AT_SYMLINK_FOLLOW)) == 0;
}

/*
 * Makes the new file under its temporary name (O_CREAT|O_EXCL), or
 * another like it where that is taken. From the moment it exists its
 * name is the one to remove should the run be stopped.
 */
static bool
createtemp(output *out, int mode)
{
	int tries = 0;

	do {
		holdstops();
		out->fd = SYS(openat(out->dest.dir, out->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
		out->named = out->fd != -1;
		removeonstop(out);
		releasestops();
	} while (out->fd == -1 && retryname(&out->temp, &tries));
	return out->fd != -1;
}

/*
 * Opens the destination itself for writing: a device or a pipe as it
 * is (WAY_STREAM), a file emptied, or made (WAY_STRAIGHT).
 */
static bool
openstraight(output *out, way how)
{
	int flags = O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

	if (how == WAY_STRAIGHT)
		flags |= O_CREAT | O_TRUNC;
	out->how = how;
	out->fd = SYS(openat(out->dest.dir, out->dest.name.c_str(), flags, 0666));
	return out->fd != -1;
}

#if defined(listattrs)
/*
 * The name under which a file's access list is stored as an attribute
 * (on Linux), and the tags of the entries that matter here.
 */
static const char aclname[] = "system.posix_acl_access";
enum { ACL_GROUPOBJ = 0x04, ACL_MASKOBJ = 0x10 };

/*
 * The group bits that an access list in its stored form (a version,
 * then the tag, permissions and id of each entry, little-endian) grants
 * the file's own group: its entry's, within the mask. None when the
 * list can't be read.
 */
static mode_t
groupbits(const unsigned char *acl, ssize_t len)
{
	unsigned group = 0, mask = 7;

	for (ssize_t i = 4; i + 8 <= len; i += 8) {
		unsigned tag = acl[i] | acl[i + 1] << 8, perm = acl[i + 2] & 7u;
		if (tag == ACL_GROUPOBJ)
			group = perm;
		else if (tag == ACL_MASKOBJ)
			mask = perm;
	}
	return mode_t((group & mask) << 3);
}

/*
 * Gives the new file fd the permission bits mode, its group bits (which
 * stand for an access list's mask) made what the list acl, of len
 * bytes, grants the group itself: none where it could not be read (len
 * -1), so that no one gains access the former file did not give.
 */
static bool
narrowgroup(int fd, mode_t mode, const unsigned char *acl, ssize_t len)
{
	return SYS(fchmod(fd, (mode & ~mode_t(070)) | groupbits(acl, len))) != -1;
}

/*
 * Copies the extended attributes of the former file at p to the new
 * file fd: those the run may set, the access list among them. An
 * attribute that can't be copied is left out; where that is the access
 * list, or where the former file's attributes can't be read at all,
 * the group bits of mode are narrowed to what the list granted. The
 * buffers are the largest an attribute may take, so that nothing is
 * allocated once the new file exists.
 */
static bool
copyattrs(int fd, const place &p, mode_t mode)
{
	static char names[65536];
	static unsigned char value[65536];
	int from = SYS(openat(p.dir, p.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
	ssize_t n = from == -1 ? -1 : SYS(listattrs(from, names, sizeof(names)));
	bool kept = n != -1 || narrowgroup(fd, mode, nullptr, -1);

	for (char *name = names; kept && name < names + n; name += std::strlen(name) + 1) {
		ssize_t len = SYS(getattr(from, name, value, sizeof(value)));
		if ((len == -1 && (errno == ENOATTR || errno == ENOTSUP)) ||
		    (len != -1 && SYS(setattr(fd, name, value, size_t(len))) != -1) ||
		    std::strcmp(name, aclname) != 0)
			continue;
		kept = narrowgroup(fd, mode, value, len);
	}
	if (from != -1)
		close(from);
	return kept;
}
#else
static bool
copyattrs(int, const place &, mode_t)
{
	return true;
}
#endif

/*
 * Gives the new file fd the owner and group of old, or its group alone;
 * false where neither can be: only a privileged run keeps the owner,
 * and only a member of the group the group.
 */
static bool
keepowner(int fd, const struct stat *old)
{
	return SYS(fchown(fd, old->st_uid, old->st_gid)) == 0 ||
	    SYS(fchown(fd, uid_t(-1), old->st_gid)) == 0;
}

/*
 * Gives the new file fd the owner, the group, the permission bits and
 * the extended attributes of old, the file at p it replaces; a new
 * destination keeps the bits it was made with. An owner or a group
 * that can't be kept is no failure. The mode comes after them, as a
 * change of owner clears the set-id bits, and the attributes last, as
 * the access list among them sets the group bits anew.
 */
static bool
keepattrs(int fd, const place &p, const struct stat *old)
{
	if (old == nullptr)
		return true;
	keepowner(fd, old);
	if (SYS(fchmod(fd, old->st_mode & 07777)) == -1)
		return false;
	return copyattrs(fd, p, old->st_mode & 07777);
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

	out->temp = tempname(out->dest.name, namemax(out->dest));
	if (createunnamed(out, mode))
		out->how = old != nullptr ? WAY_LINKREPLACE : WAY_LINKNEW;
	else if (appendonly(out->dest))
		return openstraight(out, WAY_STRAIGHT);
	else if (createtemp(out, mode))
		out->how = WAY_RENAME;
	else
		return (errno == EACCES || errno == EPERM) && openstraight(out, WAY_STRAIGHT);
	return keepattrs(out->fd, out->dest, old);
}

/* Opens the destination for an export; false when it cannot be written. */
static bool
opendest(output *out, const std::string &name)
{
	struct stat st;

	switch (finddest(out, name, &st)) {
	case DEST_FAILED:
		return false;
	case DEST_STREAM:
		out->how = WAY_STREAM;
		return true;
	case DEST_OTHER:
		return openstraight(out, WAY_STREAM);
	case DEST_FILE:
		if (!writable(out->dest))
			return false;
		if (appendonly(out->dest))
			return openstraight(out, WAY_STRAIGHT);
		return openreplacing(out, &st);
	case DEST_NEW:
		break;
	}
	return openreplacing(out, nullptr);
}

output *
new_output(const std::string &name)
{
	std::unique_ptr<output, void (*)(output *)> out(new output(), closeoutput);

	return opendest(out.get(), name) ? out.release() : nullptr;
}

bool
writeoutput(output *out, const void *buf, size_t n)
{
	const char *p = static_cast<const char *>(buf);

	while (n > 0) {
		ssize_t k = SYS(write(out->fd, p, n));
		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0)
			return false;
		p += k;
		n -= size_t(k);
	}
	return true;
}

/* Puts what was written to fd on disk (fsync), past the drive's own cache where the system can. */
static bool
syncfile(int fd)
{
	return !sysfails() && flushfile(fd);
}

/*
 * Puts the folder's new entry on disk. A folder opened for searching
 * alone can't be flushed itself; on Linux the whole filesystem that
 * holds the new file is, instead (syncfs).
 */
static bool
syncfolder(const output *out)
{
	if (syncfile(out->dest.dir))
		return true;
#if defined(__linux__)
	return errno == EBADF && SYS(syncfs(out->fd)) == 0;
#else
	return false;
#endif
}

/* Closes the file written; false when the close reports a failed write. */
static bool
closefile(output *out)
{
	bool closed = close(out->fd) == 0;

	out->fd = -1;
	return !sysfails() && closed;
}

/*
 * Gives the unnamed new file its temporary name, or another like it
 * where that is taken; the caller holds the stop signals.
 */
static bool
linktemp(output *out)
{
	int tries = 0;

	while (!linkunnamed(out, out->temp.c_str()))
		if (!retryname(&out->temp, &tries))
			return false;
	out->named = true;
	removeonstop(out);
	return true;
}

/* Renames the new file from its temporary name over the destination; the caller holds the stop signals. */
static bool
renametemp(output *out)
{
	if (SYS(renameat(out->dest.dir, out->temp.c_str(), out->dest.dir, out->dest.name.c_str())) != 0)
		return false;
	out->named = false;
	removeonstop(out);
	return true;
}

/*
 * Puts the new file on disk, then in the destination's place, the file
 * still open, and the folder's change on disk too, so that the new file
 * survives a power loss once this returns COMPLETE_OK. A new destination
 * whose name another file took meanwhile replaces that file. The stop
 * signals are held from the moment the file is on disk, and stay held
 * until closeoutput(). The new file is closed last; as its bytes are on
 * disk by then, its close can fail nothing.
 */
completion
commitoutput(output *out)
{
	if (out->how != WAY_STREAM && !syncfile(out->fd))
		return COMPLETE_FAILED;
	holdstops();
	switch (out->how) {
	case WAY_STREAM:
	case WAY_STRAIGHT:
		return closefile(out) ? COMPLETE_OK : COMPLETE_FAILED;
	case WAY_LINKNEW:
		if (linkunnamed(out, out->dest.name.c_str()))
			break;
		if (errno != EEXIST)
			return COMPLETE_FAILED;
		[[fallthrough]];
	case WAY_LINKREPLACE:
		if (!linktemp(out))
			return COMPLETE_FAILED;
		[[fallthrough]];
	case WAY_RENAME:
		if (!renametemp(out))
			return COMPLETE_FAILED;
		break;
	}
	bool synced = syncfolder(out);
	closefile(out);
	return synced ? COMPLETE_OK : COMPLETE_UNSYNCED;
}

/*
 * Ends the output: the new file is closed, and removed unless it is in
 * place; the folder is closed; the stop signals are let in again.
 */
void
closeoutput(output *out)
{
	holdstops();
	if (out->fd != -1)
		close(out->fd);
	if (out->named)
		unlinkat(out->dest.dir, out->temp.c_str(), 0);
	out->named = false;
	removeonstop(out);
	closeplace(&out->dest);
	releasestops();
	delete out;
}
#endif
