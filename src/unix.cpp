// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * The platform layer on Unix: the standard descriptors, the stop
 * signals, the source file, and the output, which puts a new file in
 * the place of the destination.
 *
 * A regular file, or one yet to be made, gets its name only as a
 * complete new file: on disk, granting exactly what the former one did,
 * its folder flushed after the rename. The new file has no name while
 * it is written where the system allows it (O_TMPFILE): a new
 * destination is then given its name straight away, and a file that is
 * replaced is given a temporary name only for the instant before the
 * rename. Elsewhere it is made under a temporary name (O_CREAT|O_EXCL),
 * which the stop signals remove. Where the system won't allow that (the
 * former owner or group can't be given to the new file, the folder
 * refuses a new file, or lets no name go while a former file is there),
 * the run is refused before anything is written. Only a destination
 * that is no regular file (a device, a pipe, one of the run's own
 * descriptors) is written straight.
 *
 * The name is followed one part at a time, each link by its text, from
 * the folder it lies in, under the kernel's own rules; the file found
 * must be the one the kernel finds for the whole name. Every step after
 * that (the new file, its name, the rename, the flush) is taken relative
 * to the folder's descriptor, so that only a name within the folder must
 * fit the folder's limits and no name can be redirected between two
 * steps.
 */
#ifndef _WIN32
#include <algorithm>
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
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#define ENOATTR ENODATA /* Linux's name for an attribute that is not there; the others call it ENOATTR */
#endif

#include "platform.h"

/*
 * A system call of the export. The build for the tests can make it fail
 * in its place by its name (sysfails()); the tool as shipped makes the
 * bare call. A close that fails has let the descriptor go all the same,
 * so its failure is made after the call.
 */
#define SYS(call, ...) (sysfails(#call, __func__) ? -1 : call(__VA_ARGS__))
#define SYSCLOSE(fd) (sysfails("close", __func__) ? (close(fd), -1) : close(fd))

/*
 * A folder is opened for searching alone with O_PATH on Linux and
 * O_SEARCH elsewhere, where there is either.
 */
#if defined(O_PATH)
#define O_SEARCHONLY O_PATH
#elif defined(O_SEARCH)
#define O_SEARCHONLY O_SEARCH
#else
#define O_SEARCHONLY O_RDONLY
#endif

#define MAXLINKS 40       /* the most links a name may lead through, as the kernel allows */
#define TEMPMODE 0600     /* a file that replaces another, while it is written: its owner's alone */
#define NEWMODE 0666      /* a new destination, as any file is made: the umask or a default access list narrows it */
#define MODEBITS 07777    /* the permission and set-id bits */
#define ATTRMAX 65536     /* the most bytes a file's attribute names, or one value, may take */
#define FDDIGITS 9        /* the most digits of a descriptor's number that an int surely holds */
#define LINKMAX 4096      /* the longest link text any system keeps, as long as Linux's longest path */

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

/* How a destination is written, chosen once by plandest(). */
enum way {
	WAY_ITSELF, /* a device, a pipe or one of the run's descriptors, written as it is */
	WAY_NEWFILE /* a new file, put in the destination's place once complete */
};

/*
 * The plan for a destination: how it is written, where it lies, and
 * for a new file the few facts that vary.
 */
struct destplan {
	way how = WAY_ITSELF;
	place dest;              /* the file to replace or make, a symbolic link's target; its folder is flushed */
	int stream = -1;         /* WAY_ITSELF: the run's own descriptor the name leads to, written through */
	bool unnamed = false;    /* the new file has no name while it is written (O_TMPFILE) */
	bool replacing = false;  /* a former file is there, whose owner, mode and attributes former holds */
	bool appendonly = false; /* the folder lets no name go: a new file there is linked in unnamed, or not at all */
	struct stat former = {};
};

/* A destination being written. */
struct unixoutput {
	destplan plan;
	std::string temp;   /* the new file's temporary name in the folder, chosen before it is made */
	int fd = -1;        /* the file written */
	bool named = false; /* the new file bears temp now, and loses it unless put in place */
};

/*
 * The standard descriptors that were closed when the run started, as
 * bits 1 << fd. Each is held by the reading end of a pipe that has no
 * writer, so that no file the run opens can take its place and receive
 * its messages, and so that a name that leads to one is known for what
 * it is. Standard output is then held by something that can't be
 * written: a run that had none could not print what it was asked to,
 * and its failed writes end it as a run whose output failed.
 */
static int guarded;

/* Holds each closed standard descriptor; false when one can't be held. */
static bool
guardstdfds(void)
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		int p[2];
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		if (pipe(p) != 0)
			return false;
		close(p[1]);
		guarded |= 1 << fd;
	}
	return true;
}

FILE *
openinput(const std::string &name)
{
	return std::fopen(name.c_str(), "rb");
}

void
puttext(const char *text)
{
	std::fputs(text, stdout);
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
	stopdir = out->plan.dest.dir;
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

/* Tells whether a and b are one file: the same inode of the same filesystem. */
static bool
samefile(const struct stat *a, const struct stat *b)
{
	return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

/* Tells whether fd is open for writing and was open when the run started. */
static bool
writesto(int fd)
{
	int flags = fcntl(fd, F_GETFL);

	return flags != -1 && (flags & O_ACCMODE) != O_RDONLY && !(fd <= STDERR_FILENO && (guarded & 1 << fd));
}

/*
 * The standard descriptor that is the file k, when it is one the run may
 * write to or one that was closed when it started; else -1.
 */
static int
standardfd(const struct stat *k)
{
	struct stat st;

	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
		if (fstat(fd, &st) == 0 && samefile(&st, k) && ((guarded & 1 << fd) || writesto(fd)))
			return fd;
	return -1;
}

/*
 * Tells whether the file st, in p's folder, may have been put there by
 * another user: it lies in a sticky folder that others may write, and
 * belongs to neither the user running the run nor the folder's owner.
 * The kernel refuses to follow such a link, or to open such a file or
 * FIFO with O_CREAT, wherever its protected_symlinks, protected_regular
 * and protected_fifos are on; the run refuses them whatever the
 * machine's setting. A folder that can't be asked counts as such.
 */
static bool
planted(const place &p, const struct stat *st)
{
	struct stat folder;

	if (SYS(fstat, p.dir, &folder) != 0)
		return true;
	return (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) &&
	    st->st_uid != geteuid() && st->st_uid != folder.st_uid;
}

/*
 * Tells whether the link name, in the folder dir, is one of a process's
 * descriptors: a link named by its number in /proc, whose text is no
 * name of the file it leads to, but a description of it.
 */
static bool
descriptorlink([[maybe_unused]] int dir, [[maybe_unused]] const std::string &name)
{
#if defined(__linux__)
	struct statfs fs;

	return name.size() <= FDDIGITS && name.find_first_not_of("0123456789") == std::string::npos &&
	    fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
#else
	return false;
#endif
}

/* Reads the text of the link name in the folder dir into *target; false where it is empty or too long. */
static bool
readlinkof(int dir, const std::string &name, std::string *target)
{
	target->resize(LINKMAX);
	ssize_t n = SYS(readlinkat, dir, name.c_str(), &(*target)[0], LINKMAX);
	if (n <= 0 || n == LINKMAX)
		return false;
	target->resize(size_t(n));
	return true;
}

/* Opens the folder path, relative to at, for searching alone, following no link. */
static int
opensearch(int at, const char *path)
{
	return SYS(openat, at, path, O_SEARCHONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/* Moves p into the folder name, in p's folder (the working folder at first). */
static bool
enterfolder(place *p, const std::string &name)
{
	int fd = opensearch(p->dir >= 0 ? p->dir : AT_FDCWD, name.c_str());

	if (fd == -1)
		return false;
	closeplace(p);
	p->dir = fd;
	return true;
}

/*
 * Takes the first part of *rest, past any "/" before it, and leaves
 * *rest at the "/" after it; an empty part where none is left.
 */
static std::string
takepart(std::string *rest)
{
	size_t from = rest->find_first_not_of('/');

	if (from == std::string::npos)
		from = rest->size();
	size_t to = std::min(rest->find('/', from), rest->size());
	std::string part = rest->substr(from, to - from);
	rest->erase(0, to);
	return part;
}

/*
 * Follows a link at p named part, in place of it, before what is left
 * of the name: its text then is the rest of the name, from the root
 * where it begins with "/". A link another user may have planted is
 * refused. A last link that is one of a process's descriptors in /proc
 * names the descriptor to write through.
 */
static bool
followlink(destplan *plan, const std::string &part, const struct stat *st, std::string *rest)
{
	std::string target;

	if (planted(plan->dest, st) || !readlinkof(plan->dest.dir, part, &target))
		return false;
	if (rest->empty() && descriptorlink(plan->dest.dir, part))
		plan->stream = std::atoi(part.c_str());
	*rest = target + *rest;
	return target[0] != '/' || enterfolder(&plan->dest, "/");
}

/*
 * Finds what the destination name stands for, one part at a time from
 * the working folder or the root, following each link by its text from
 * the folder it lies in, as the kernel would, with its limits. Leaves in
 * plan->dest the folder and the name of the file at the end; *st is that
 * file's, when there is one. A link to no file leads to a new file of
 * its target's name; a name that ends in "/" names the folder itself.
 */
static destkind
followname(destplan *plan, const std::string &name, struct stat *st)
{
	place *p = &plan->dest;
	std::string rest = name;
	int links = 0;

	if (!enterfolder(p, name[0] == '/' ? "/" : "."))
		return DEST_FAILED;
	for (;;) {
		p->name = takepart(&rest);
		if (p->name.empty())
			p->name = ".";
		if (SYS(fstatat, p->dir, p->name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0)
			return rest.empty() && errno == ENOENT ? DEST_NEW : DEST_FAILED;
		if (S_ISLNK(st->st_mode)) {
			if (++links > MAXLINKS || !followlink(plan, p->name, st, &rest))
				return DEST_FAILED;
		} else if (rest.empty()) {
			return S_ISREG(st->st_mode) ? DEST_FILE : DEST_OTHER;
		} else if (!enterfolder(p, p->name)) {
			return DEST_FAILED;
		}
	}
}

/*
 * Tells whether what the name was followed to is what the kernel itself
 * finds for it (k, or the failure kerr): the same file, or no file at
 * all for a new one. They differ where a link's text does not name what
 * it leads to (a link in /proc to a deleted file or a pipe), and where
 * the name was changed meanwhile.
 */
static bool
agreeswithkernel(destkind kind, const struct stat *st, int kerr, const struct stat *k)
{
	if (kind == DEST_NEW)
		return kerr == ENOENT;
	return kerr == 0 && samefile(st, k);
}

/* Tells whether the descriptor fd is the file k, and the run may write to it. */
static bool
isdescriptorof(int fd, const struct stat *k)
{
	struct stat st;

	return fstat(fd, &st) == 0 && samefile(&st, k) && writesto(fd);
}

/*
 * Finds what the destination name stands for. A name the kernel finds
 * to be one of the run's standard descriptors, however spelt, is written
 * through it (plan->stream), and one of a descriptor closed at the start
 * is refused. So is a name the kernel finds another file for than the
 * run does, and one that leads through a link in /proc to a descriptor
 * the run can't write to.
 */
static destkind
finddest(destplan *plan, const std::string &name, struct stat *st)
{
	struct stat k;
	int kerr = SYS(stat, name.c_str(), &k) == 0 ? 0 : errno;

	if ((plan->stream = kerr == 0 ? standardfd(&k) : -1) != -1)
		return (guarded & 1 << plan->stream) ? DEST_FAILED : DEST_STREAM;
	destkind kind = followname(plan, name, st);
	if (kind == DEST_FAILED || !agreeswithkernel(kind, st, kerr, &k))
		return DEST_FAILED;
	if (plan->stream != -1)
		return isdescriptorof(plan->stream, &k) ? DEST_STREAM : DEST_FAILED;
	return kind;
}

/* Tells whether the user may write the file p names, as the kernel decides for open(). */
static bool
writable(const place &p)
{
	return SYS(faccessat, p.dir, p.name.c_str(), W_OK, 0) == 0;
}

/*
 * Tells whether the folder takes new entries but lets none go (an
 * append-only folder): no file there can be replaced, and no name
 * given to a new one removed.
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

/*
 * Tells whether the system makes files with no name (O_TMPFILE) that
 * can be named once written: that is done through /proc, which a chroot
 * may lack.
 */
static bool
unnamedfiles(void)
{
#if defined(O_TMPFILE)
	return SYS(access, "/proc/self/fd", X_OK) == 0;
#else
	return false;
#endif
}

/*
 * Reopens the destination's folder for reading, so that it can be
 * flushed itself; one that may be searched but not read (mode 0300)
 * stays open for searching alone.
 */
static void
openfolder(place *p)
{
	int fd = SYS(openat, p->dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);

	if (fd != -1) {
		close(p->dir);
		p->dir = fd;
	}
}

/*
 * Looks at the destination and plans how to write it. False, having
 * touched nothing, where it must be refused: it can't be found or
 * written, another user may have planted it in a sticky folder (a file
 * or a FIFO, as a plain open() refuses where the kernel's protection is
 * on), or it is a file in a folder that lets no name go, where no file
 * can be replaced; a new file there must be one made unnamed.
 */
static bool
plandest(destplan *plan, const std::string &name)
{
	switch (finddest(plan, name, &plan->former)) {
	case DEST_FAILED:
		return false;
	case DEST_STREAM:
		return true;
	case DEST_OTHER:
		return !(S_ISFIFO(plan->former.st_mode) && planted(plan->dest, &plan->former));
	case DEST_FILE:
		if (planted(plan->dest, &plan->former) || !writable(plan->dest))
			return false;
		plan->replacing = true;
		break;
	case DEST_NEW:
		break;
	}
	plan->how = WAY_NEWFILE;
	plan->appendonly = appendonly(plan->dest);
	plan->unnamed = unnamedfiles();
	openfolder(&plan->dest);
	return !plan->appendonly || (!plan->replacing && plan->unnamed);
}

/* The longest name the folder takes; NAME_MAX where it does not say, or says too little for a temporary name. */
static size_t
namemax(const place &p)
{
	long max = fpathconf(p.dir, _PC_NAME_MAX);

	return max > long(sizeof(TEMPSUFFIX) - 1) ? size_t(max) : NAME_MAX;
}

/*
 * Makes the new file in the destination's folder with no name
 * (O_TMPFILE), so that it vanishes however the run ends until it is
 * given one.
 */
static bool
createunnamed(output *out, int mode)
{
#if defined(O_TMPFILE)
	out->fd = SYS(openat, out->plan.dest.dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
	return out->fd != -1;
#else
	(void)out, (void)mode;
	errno = EOPNOTSUPP;
	return false;
#endif
}

/*
 * Tells whether a file with no name could not be made for want of
 * support: a filesystem that makes none (EOPNOTSUPP), or a kernel that
 * knows no O_TMPFILE and takes it for a folder's open (EISDIR).
 */
static bool
unsupported(int err)
{
	return err == EOPNOTSUPP || err == EISDIR;
}

/* Gives the unnamed new file this name in its folder (linkat); errno EEXIST when the name is taken. */
static bool
linkunnamed(const output *out, const char *name)
{
	char self[sizeof("/proc/self/fd/") + 3 * sizeof(int)];

	std::snprintf(self, sizeof(self), "/proc/self/fd/%d", out->fd);
	return SYS(linkat, AT_FDCWD, self, out->plan.dest.dir, name, AT_SYMLINK_FOLLOW) == 0;
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
		out->fd = SYS(openat, out->plan.dest.dir, out->temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
		out->named = out->fd != -1;
		removeonstop(out);
		releasestops();
	} while (out->fd == -1 && retryname(&out->temp, &tries));
	return out->fd != -1;
}

/*
 * Makes the new file that will take the destination's place: unnamed
 * where the plan says and the filesystem makes one, else under its
 * temporary name, but never a named one in a folder that lets no name
 * go. A file that replaces another is its owner's alone while it is
 * written, and is given the former one's owner and group first
 * (fchown), as a change of owner clears the set-id bits. Where it can't
 * be (only root gives a file to another user, and only a member of a
 * group to that group; some filesystems keep no owner at all), the
 * former file is not the run's to remake, and the run is refused. A new
 * destination is made as any file is. The temporary name is chosen
 * first, so that nothing need be allocated once the file exists.
 */
static bool
createnewfile(output *out)
{
	destplan *plan = &out->plan;
	int mode = plan->replacing ? TEMPMODE : NEWMODE;

	out->temp = tempname(plan->dest.name, namemax(plan->dest));
	if (plan->unnamed && !createunnamed(out, mode)) {
		if (!unsupported(errno) || plan->appendonly)
			return false;
		plan->unnamed = false;
	}
	if (!plan->unnamed && !createtemp(out, mode))
		return false;
	return !plan->replacing || SYS(fchown, out->fd, plan->former.st_uid, plan->former.st_gid) == 0;
}

/*
 * Opens the destination itself for writing: a copy of the run's own
 * descriptor it names, or a device or a pipe as it is.
 */
static bool
openitself(output *out)
{
	const destplan &plan = out->plan;

	if (plan.stream != -1)
		out->fd = SYS(fcntl, plan.stream, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
	else
		out->fd = SYS(openat, plan.dest.dir, plan.dest.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
	return out->fd != -1;
}

output *
new_output(const std::string &name)
{
	std::unique_ptr<output, void (*)(output *)> out(new output(), closeoutput);

	if (!plandest(&out->plan, name))
		return nullptr;
	bool opened = out->plan.how == WAY_ITSELF ? openitself(out.get()) : createnewfile(out.get());
	return opened ? out.release() : nullptr;
}

bool
writeoutput(output *out, const void *buf, size_t n)
{
	const char *p = static_cast<const char *>(buf);

	while (n > 0) {
		ssize_t k = SYS(write, out->fd, p, n);
		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0)
			return false;
		p += k;
		n -= size_t(k);
	}
	return true;
}

#if defined(XATTR_CREATE)
/*
 * Tells whether an attribute could not be copied for want of permission
 * or support, or as it was removed meanwhile, rather than for want of a
 * resource.
 */
static bool
refused(int err)
{
	return err == EPERM || err == EACCES || err == ENOTSUP || err == EOPNOTSUPP || err == ENOATTR;
}

/*
 * The name under which Linux stores a file's access list as an
 * attribute, and that list's stored form: a 4-byte version, then
 * entries of 8 bytes, each a 2-byte tag, 2 bytes of permissions and a
 * 4-byte id, little-endian.
 */
static const char aclname[] = "system.posix_acl_access";
enum { ACL_HEADER = 4, ACL_ENTRY = 8, ACL_TAG = 0, ACL_PERM = 2 };
enum { ACL_GROUP_OBJ = 0x04, ACL_MASK = 0x10, ACL_RWX = 07 };

/*
 * The group bits that an access list in its stored form grants the
 * file's own group: its entry's, within the mask. None when the list
 * can't be read (len -1).
 */
static mode_t
groupbits(const unsigned char *acl, ssize_t len)
{
	unsigned group = 0, mask = ACL_RWX;

	for (ssize_t i = ACL_HEADER; i + ACL_ENTRY <= len; i += ACL_ENTRY) {
		unsigned tag = acl[i + ACL_TAG] | acl[i + ACL_TAG + 1] << 8, perm = acl[i + ACL_PERM] & ACL_RWX;
		if (tag == ACL_GROUP_OBJ)
			group = perm;
		else if (tag == ACL_MASK)
			mask = perm;
	}
	return mode_t((group & mask) * (S_IRWXG / ACL_RWX));
}

/*
 * Removes from the new file fd the access list it took from its
 * folder's default one, which the former file did not have, or could
 * not give; a list that is not there, or can't be, is no failure.
 */
static bool
dropacl(int fd)
{
#if defined(__APPLE__)
	int err = SYS(fremovexattr, fd, aclname, 0);
#else
	int err = SYS(fremovexattr, fd, aclname);
#endif
	return err == 0 || errno == ENOATTR || errno == ENOTSUP || errno == EOPNOTSUPP;
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
	return dropacl(fd) && SYS(fchmod, fd, (mode & ~mode_t(S_IRWXG)) | groupbits(acl, len)) == 0;
}

/* The calls on extended attributes, to which macOS adds an option, and a position for a resource fork. */
static ssize_t
getattr(int fd, const char *name, void *value, size_t size)
{
#if defined(__APPLE__)
	return SYS(fgetxattr, fd, name, value, size, 0, 0);
#else
	return SYS(fgetxattr, fd, name, value, size);
#endif
}

static int
setattr(int fd, const char *name, const void *value, size_t size)
{
#if defined(__APPLE__)
	return SYS(fsetxattr, fd, name, value, size, 0, 0);
#else
	return SYS(fsetxattr, fd, name, value, size, 0);
#endif
}

/*
 * Copies each attribute the former file from lists in names (n bytes)
 * to the new file fd. One that can't be copied for permission or support,
 * or is gone, is left out, and where that is the access list the group
 * bits of mode are narrowed to what the list granted, or to none where it
 * could not be read; a new file whose former had no list has none. Any other failure (a resource ran out, an I/O error)
 * ends the copy: false.
 */
static bool
copyeach(int from, int fd, const char *names, ssize_t n, mode_t mode)
{
	static unsigned char value[ATTRMAX];
	bool acl = false;

	for (const char *name = names; name < names + n; name += std::strlen(name) + 1) {
		ssize_t len = getattr(from, name, value, sizeof(value));
		bool isacl = std::strcmp(name, aclname) == 0;
		acl = acl || isacl;
		if (len != -1 && setattr(fd, name, value, size_t(len)) == 0)
			continue;
		if (!refused(errno) || (isacl && !narrowgroup(fd, mode, value, len)))
			return false;
	}
	return acl || dropacl(fd);
}

/* The names of the extended attributes of fd, each ending in a zero byte. */
static ssize_t
listattrs(int fd, char *names, size_t size)
{
#if defined(__APPLE__)
	return SYS(flistxattr, fd, names, size, 0);
#else
	return SYS(flistxattr, fd, names, size);
#endif
}

/*
 * Copies the extended attributes of the former file at p to the new
 * file fd: those the run may set, the access list among them. A file
 * whose filesystem keeps none (ENOTSUP) has none to copy. Where they
 * can't be read for permission, the group bits of mode are narrowed to
 * none. The buffer is the largest list a file may have, so that nothing
 * is allocated once the new file exists.
 */
static bool
copyattrs(int fd, const place &p, mode_t mode)
{
	static char names[ATTRMAX];
	int from = SYS(openat, p.dir, p.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);

	if (from == -1)
		return refused(errno) && narrowgroup(fd, mode, nullptr, -1);
	ssize_t n = listattrs(from, names, sizeof(names));
	bool kept;
	if (n != -1)
		kept = copyeach(from, fd, names, n, mode);
	else if (errno == ENOTSUP || errno == EOPNOTSUPP)
		kept = dropacl(fd);
	else
		kept = refused(errno) && narrowgroup(fd, mode, nullptr, -1);
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
 * Gives the new file the permission bits of the file it replaces,
 * set-id bits included, once the last byte is written (a write clears
 * them), then its extended attributes, as the access list among them
 * sets the group bits anew. A new destination keeps the bits it was made
 * with.
 */
static bool
keepattrs(output *out)
{
	mode_t mode = out->plan.former.st_mode & MODEBITS;

	if (!out->plan.replacing)
		return true;
	return SYS(fchmod, out->fd, mode) == 0 && copyattrs(out->fd, out->plan.dest, mode);
}

/* Puts what was written to fd on disk (fsync), past the drive's own cache where the system can (F_FULLFSYNC). */
static bool
fsyncfile(int fd)
{
#if defined(__APPLE__)
	if (fcntl(fd, F_FULLFSYNC) == 0)
		return true;
#endif
	return SYS(fsync, fd) == 0;
}

/*
 * Puts the folder's new entry on disk. A folder opened for searching
 * alone can't be flushed itself; on Linux the whole filesystem that
 * holds the new file is, instead (syncfs).
 */
static bool
fsyncfolder(const output *out)
{
	if (fsyncfile(out->plan.dest.dir))
		return true;
#if defined(__linux__)
	return errno == EBADF && SYS(syncfs, out->fd) == 0;
#else
	return false;
#endif
}

/* Closes the file written; false when the close reports a failed write. */
static bool
closefile(int *fd)
{
	int err = SYSCLOSE(*fd);

	*fd = -1;
	return err == 0;
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
	const place &dest = out->plan.dest;

	if (SYS(renameat, dest.dir, out->temp.c_str(), dest.dir, dest.name.c_str()) != 0)
		return false;
	out->named = false;
	removeonstop(out);
	return true;
}

/*
 * Puts the new file, on disk, in the destination's place: a new
 * destination's name is linked to the unnamed file; a file there is
 * replaced by a rename from the temporary name, which an unnamed file
 * is given first. A new destination whose name another file took
 * meanwhile replaces that file, but in a folder that lets no name go.
 */
static bool
placenewfile(output *out)
{
	const destplan &plan = out->plan;

	if (plan.unnamed && !plan.replacing) {
		if (linkunnamed(out, plan.dest.name.c_str()))
			return true;
		if (errno != EEXIST || plan.appendonly)
			return false;
	}
	return (!plan.unnamed || linktemp(out)) && renametemp(out);
}

/*
 * Gives the new file the former one's mode and attributes, puts it on
 * disk (fsync), then in place, the file still open, and the folder's
 * change on disk too, so that it survives a power loss once this returns
 * COMPLETE_OK. The stop signals are held from the moment the
 * destination changes.
 */
static completion
commitnewfile(output *out)
{
	if (!keepattrs(out) || !fsyncfile(out->fd))
		return COMPLETE_FAILED;
	holdstops();
	if (!placenewfile(out))
		return COMPLETE_FAILED;
	bool synced = fsyncfolder(out);
	closefile(&out->fd);
	return synced ? COMPLETE_OK : COMPLETE_UNSYNCED;
}

/*
 * Puts what was written on disk and in the destination's place. The
 * stop signals are held from the moment the destination changes, and
 * stay held until closeoutput().
 */
completion
commitoutput(output *out)
{
	switch (out->plan.how) {
	case WAY_ITSELF:
		holdstops();
		return closefile(&out->fd) ? COMPLETE_OK : COMPLETE_FAILED;
	case WAY_NEWFILE:
		return commitnewfile(out);
	}
	return COMPLETE_FAILED;
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
		unlinkat(out->plan.dest.dir, out->temp.c_str(), 0);
	out->named = false;
	removeonstop(out);
	closeplace(&out->plan.dest);
	releasestops();
	delete out;
}
#endif
