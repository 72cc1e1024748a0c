/*
 * The platform layer: the run's standard descriptors and arguments, the
 * source file, random bits, and the destination's safe replacement.
 *
 * A destination that is a regular file, or one yet to be made, is
 * written to a new file in its folder and put in its place only once
 * complete and on disk, so that a run that fails, or is stopped at any
 * moment, leaves the former file as it was and nothing beside it. A
 * destination that is no regular file (a device, a pipe), or one in a
 * folder that takes no new file, is written straight.
 *
 * Names are bytes on Unix, passed through as given; on Windows they are
 * UTF-8 inside the run and wide strings at every call to the system.
 */
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#endif

#include "vantrel.h"

/*
 * The temporary file to remove should the run be stopped, while one has
 * a name; the handler reads it, so it changes only while the signals
 * that run the handler are held.
 */
static const char *volatile removeonstop;

#ifdef _WIN32
/*
 * The name of a file for the system's wide calls. A name whose full
 * path would reach MAX_PATH gets the prefix that lifts that limit, and
 * so is given whole; a device such as NUL keeps its own form.
 */
static std::wstring
widename(const std::string &name)
{
	int n = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
	std::wstring w(n > 0 ? n - 1 : 0, L'\0');

	MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, &w[0], n);
	if (w.compare(0, 4, L"\\\\?\\") == 0)
		return w;
	std::wstring full(GetFullPathNameW(w.c_str(), 0, nullptr, nullptr), L'\0');
	full.resize(GetFullPathNameW(w.c_str(), DWORD(full.size()), &full[0], nullptr));
	if (full.size() < MAX_PATH - 12)
		return w;
	if (full.size() > 2 && full[1] == L':' && full[2] == L'\\')
		return L"\\\\?\\" + full;
	if (full.compare(0, 2, L"\\\\") == 0 && full.compare(0, 4, L"\\\\.\\") != 0)
		return L"\\\\?\\UNC\\" + full.substr(2);
	return w;
}

/* A wide string in the code page given. */
static std::string
narrow(const wchar_t *w, UINT codepage)
{
	int n = WideCharToMultiByte(codepage, 0, w, -1, nullptr, 0, nullptr, nullptr);
	std::string s(n > 0 ? n - 1 : 0, '\0');

	WideCharToMultiByte(codepage, 0, w, -1, &s[0], n, nullptr, nullptr);
	return s;
}

/*
 * Takes the arguments as the system holds them, in wide characters:
 * the file names in UTF-8, and argv[0], which serves only for messages,
 * in the console's code page. They live for the whole run.
 */
void
takeargs(int *argc, char ***argv)
{
	static std::vector<std::string> words;
	static std::vector<char *> ptrs;
	int n;
	wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);
	UINT console = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : GetACP();

	if (w == nullptr)
		return;
	for (int i = 0; i < n; i++)
		words.push_back(narrow(w[i], i == 0 ? console : CP_UTF8));
	LocalFree(w);
	for (std::string &s : words)
		ptrs.push_back(&s[0]);
	ptrs.push_back(nullptr);
	*argc = n;
	*argv = ptrs.data();
}

void
guardstdfds(void)
{
	for (int fd = 0; fd <= 2; fd++) {
		if (_get_osfhandle(fd) >= 0)
			continue;
		int nul = _open("NUL", fd == 1 ? _O_RDONLY : _O_RDWR);
		if (nul >= 0 && nul != fd) {
			_dup2(nul, fd);
			_close(nul);
		}
	}
}

FILE *
openinput(const std::string &name)
{
	return _wfopen(widename(name).c_str(), L"rb");
}

/* The console's stop events, as signals are on Unix: Ctrl-C, Ctrl-Break, a closed window. */
static CRITICAL_SECTION stopping;

/* Removes the temporary file, then lets the system end the run as it would have. */
static BOOL WINAPI
onstop(DWORD)
{
	EnterCriticalSection(&stopping);
	if (removeonstop != nullptr)
		DeleteFileW(widename(removeonstop).c_str());
	return FALSE;
}

static void
catchstops(void)
{
	static bool caught;

	if (caught)
		return;
	InitializeCriticalSection(&stopping);
	SetConsoleCtrlHandler(onstop, TRUE);
	caught = true;
}

/* Holds the stop handler off while the temporary file changes name, or lets it run. */
static void
holdstops(bool hold)
{
	if (hold)
		EnterCriticalSection(&stopping);
	else
		LeaveCriticalSection(&stopping);
}

/* A handle on the file, folder or device w names, for asking about it, not for reading. */
static HANDLE
openexisting(const std::wstring &w)
{
	return CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

/*
 * The kind of file path names, a symbolic link followed, in st_mode:
 * a device such as NUL is S_IFCHR. False when there is none.
 */
static bool
statfile(const std::string &path, struct stat *st)
{
	HANDLE h = openexisting(widename(path));
	BY_HANDLE_FILE_INFORMATION info;
	int kind = 0;

	if (h == INVALID_HANDLE_VALUE)
		return false;
	switch (GetFileType(h)) {
	case FILE_TYPE_CHAR: kind = S_IFCHR; break;
	case FILE_TYPE_PIPE: kind = S_IFIFO; break;
	case FILE_TYPE_DISK:
		if (GetFileInformationByHandle(h, &info))
			kind = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? S_IFDIR : S_IFREG;
		break;
	}
	CloseHandle(h);
	*st = {};
	st->st_mode = kind;
	return kind != 0;
}

/* A read-only attribute is the one permission a Windows file has. */
static bool
writable(const std::string &path)
{
	DWORD attrs = GetFileAttributesW(widename(path).c_str());

	return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_READONLY);
}

/* The file a destination name stands for: a symbolic link's target. */
static std::string
resolvelink(const std::string &name)
{
	std::wstring w = widename(name);
	DWORD attrs = GetFileAttributesW(w.c_str());

	if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
		return name;
	HANDLE h = openexisting(w);
	if (h == INVALID_HANDLE_VALUE)
		return name;
	DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED);
	std::wstring target(n, L'\0');
	n = n > 0 ? GetFinalPathNameByHandleW(h, &target[0], n, FILE_NAME_NORMALIZED) : 0;
	CloseHandle(h);
	if (n == 0 || n >= target.size())
		return name;
	target.resize(n);
	return narrow(target.c_str(), CP_UTF8);
}

/* The longest name a folder takes: 255 UTF-16 units, never more bytes of UTF-8. */
static size_t
namemax(const std::string &)
{
	return 255;
}

/* Windows can name no file without making it: an unnamed file is never had. */
static int
createunnamed(const std::string &)
{
	return -1;
}

static bool
nameunnamed(int, const std::string &)
{
	return false;
}

/* Makes a new file of this name for writing; *taken tells whether the name was in use. */
static int
createnew(const std::string &name, bool *taken)
{
	HANDLE h = CreateFileW(widename(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ |
	    FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);

	*taken = h == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILE_EXISTS ||
	    GetLastError() == ERROR_ALREADY_EXISTS);
	if (h == INVALID_HANDLE_VALUE)
		return -1;
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
	if (fd < 0)
		CloseHandle(h);
	return fd;
}

static bool
keepmode(int, const struct stat *)
{
	return true;
}

static FILE *
opendirectfile(const std::string &path)
{
	return _wfopen(widename(path).c_str(), L"wb");
}

static bool
syncfile(int fd)
{
	return _commit(fd) == 0;
}

/* A rename never replaces a file on Windows; this call does, on disk before it returns. */
static bool
replacefile(const std::string &temp, const std::string &path)
{
	return MoveFileExW(widename(temp).c_str(), widename(path).c_str(),
	    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

static void
removefile(const std::string &name)
{
	DeleteFileW(widename(name).c_str());
}

/* The replacing move wrote the folder through; nothing is left to flush. */
static void
syncfolder(const std::string &)
{
}
#else
void
takeargs(int *, char ***)
{
}

/*
 * Opens /dev/null on each closed standard descriptor, so that no file
 * the run opens can take its place and receive its messages. Standard
 * output is opened for reading only: a run that had none could not
 * print what it was asked to, and its failed writes make it end as one
 * whose output failed.
 */
void
guardstdfds(void)
{
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
			open("/dev/null", fd == 1 ? O_RDONLY : O_RDWR);
}

FILE *
openinput(const std::string &name)
{
	return std::fopen(name.c_str(), "rb");
}

static sigset_t stopsignals;

/* Removes the temporary file, then lets the signal end the run as it would have. */
static void
onstop(int sig)
{
	const char *name = removeonstop;

	if (name != nullptr)
		unlink(name);
	raise(sig);
}

/*
 * Cleans up on the signals that end a run, save those it was started
 * ignoring (under nohup, say), which stay ignored.
 */
static void
catchstops(void)
{
	static const int signals[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM};
	struct sigaction sa = {}, old;

	sigemptyset(&stopsignals);
	for (int sig : signals)
		sigaddset(&stopsignals, sig);
	sa.sa_handler = onstop;
	sa.sa_mask = stopsignals;
	sa.sa_flags = SA_RESETHAND;
	for (int sig : signals)
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
			sigaction(sig, &sa, nullptr);
}

/* Holds the stop signals while the temporary file changes name, or lets them in. */
static void
holdstops(bool hold)
{
	sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &stopsignals, nullptr);
}

/*
 * Like stat(), but a symbolic link to nothing is seen as the link
 * itself: not a regular file, so it is written through and stays.
 */
static bool
statfile(const std::string &path, struct stat *st)
{
	return stat(path.c_str(), st) == 0 || lstat(path.c_str(), st) == 0;
}

static bool
writable(const std::string &path)
{
	return access(path.c_str(), W_OK) == 0;
}

/* The file a destination name stands for: a symbolic link's target. */
static std::string
resolvelink(const std::string &name)
{
	struct stat st;

	if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
		return name;
	char *real = realpath(name.c_str(), nullptr);
	if (real == nullptr)
		return name;
	std::string path = real;
	std::free(real);
	return path;
}

/* The longest name the folder takes; 255 where it does not say. */
static size_t
namemax(const std::string &dir)
{
	long max = pathconf(dir.c_str(), _PC_NAME_MAX);

	return max > 0 ? size_t(max) : 255;
}

/*
 * Makes a file in the folder dir that has no name, so that it vanishes
 * however the run ends until it is given one. -1 where the system or
 * the filesystem has no such files, or cannot name one afterwards.
 */
static int
createunnamed(const std::string &dir)
{
#ifdef VANTREL_TESTBUILD
	if (std::getenv("VANTREL_NOTMPFILE") != nullptr)
		return -1;
#endif
	if (access("/proc/self/fd", X_OK) != 0)
		return -1;
	return open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

/* Gives the unnamed file fd the name given; false when it is taken, or on any failure. */
static bool
nameunnamed(int fd, const std::string &name)
{
	char self[32];

	std::snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
	return linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

/* Makes a new file of this name for writing; *taken tells whether the name was in use. */
static int
createnew(const std::string &name, bool *taken)
{
	int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);

	*taken = fd < 0 && errno == EEXIST;
	return fd;
}

/* The permission bits a newly created file would get. */
static mode_t
newfilemode(void)
{
	mode_t mask = umask(0);

	umask(mask);
	return 0666 & ~mask;
}

/*
 * Gives the new file fd the owner, the group and then the permission
 * bits of old, the file it replaces, or the bits of a new file when
 * there is none. The owner is kept only by a privileged run and the
 * group by a member of it; what can't be kept is no failure. The mode
 * comes last, as a change of owner clears the set-id bits.
 */
static bool
keepmode(int fd, const struct stat *old)
{
	if (old == nullptr)
		return fchmod(fd, newfilemode()) == 0;
	if (fchown(fd, old->st_uid, old->st_gid) != 0)
		(void)fchown(fd, (uid_t)-1, old->st_gid);
	return fchmod(fd, old->st_mode & 07777) == 0;
}

static FILE *
opendirectfile(const std::string &path)
{
	return std::fopen(path.c_str(), "wb");
}

static bool
syncfile(int fd)
{
	return fsync(fd) == 0;
}

static bool
replacefile(const std::string &temp, const std::string &path)
{
	return rename(temp.c_str(), path.c_str()) == 0;
}

static void
removefile(const std::string &name)
{
	unlink(name.c_str());
}

/* Puts the folder's new entry on disk; a folder that can't be opened for it is no failure. */
static void
syncfolder(const std::string &dir)
{
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

	if (fd >= 0) {
		fsync(fd);
		close(fd);
	}
}
#endif

#ifdef _WIN32
#define SEPARATORS "\\/:"
#else
#define SEPARATORS "/"
#endif

/* The part of path up to its last separator, empty when it has none. */
static std::string
folderof(const std::string &path)
{
	size_t sep = path.find_last_of(SEPARATORS);

	return sep == std::string::npos ? "" : path.substr(0, sep + 1);
}

/* The folder that holds path, as a name the system opens: "." for none. */
static std::string
folder(const std::string &path)
{
	std::string dir = folderof(path);

	return dir.empty() ? "." : dir;
}

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
 * A name for a temporary file beside path: its name, a dot and six
 * random letters, the name cut short where the folder would not take
 * the whole. A cut never splits a UTF-8 character.
 */
static std::string
tempname(const std::string &path)
{
	std::string dir = folderof(path);
	std::string base = path.substr(dir.size());
	size_t room = namemax(folder(path)) - 7;

	if (base.size() > room) {
		while (room > 0 && (base[room] & 0xc0) == 0x80)
			room--;
		base.resize(room);
	}
	std::string name = dir + base + ".XXXXXX";
	newletters(&name);
	return name;
}

/*
 * Makes a new file named out->temp, or another name like it where that
 * is taken, and opens it. From the moment it exists its name is in
 * removeonstop too.
 */
static int
createtemp(output *out)
{
	for (int tries = 0; tries < 100; tries++) {
		bool taken;
		holdstops(true);
		int fd = createnew(out->temp, &taken);
		if (fd >= 0) {
			out->named = true;
			removeonstop = out->temp.c_str();
		}
		holdstops(false);
		if (!taken)
			return fd;
		newletters(&out->temp);
	}
	return -1;
}

/* Gives up the new file's name, if it has one: no file of it stays. */
static void
removetemp(output *out)
{
	holdstops(true);
	if (out->named)
		removefile(out->temp);
	out->named = false;
	removeonstop = nullptr;
	holdstops(false);
}

/* Opens out->path itself for writing, created or emptied. */
static bool
opendirect(output *out)
{
	FILE *fp = opendirectfile(out->path);

	if (fp == nullptr)
		return false;
	std::setvbuf(fp, nullptr, _IONBF, 0);
	initwriter(&out->w, fp);
	out->replace = false;
	return true;
}

/*
 * Makes the new file that will take the place of out->path and of old,
 * the file there now, or of no file when old is none: an unnamed file
 * where the system has them, else a named one. Its name is chosen
 * first, so that nothing need be allocated once the file exists.
 */
static bool
openreplacing(output *out, const struct stat *old)
{
	out->temp = tempname(out->path);
	int fd = createunnamed(folder(out->path));
	if (fd < 0)
		fd = createtemp(out);
	FILE *fp = fd >= 0 && keepmode(fd, old) ? fdopen(fd, "wb") : nullptr;
	if (fp == nullptr) {
		if (fd >= 0)
			close(fd);
		removetemp(out);
		return false;
	}
	std::setvbuf(fp, nullptr, _IONBF, 0);
	initwriter(&out->w, fp);
	out->replace = true;
	return true;
}

/* Opens the destination for an export; false when it cannot be written. */
bool
openoutput(output *out, const std::string &name)
{
	struct stat st;

	catchstops();
	out->path = resolvelink(name);
	if (!statfile(out->path, &st))
		return openreplacing(out, nullptr) || opendirect(out);
	if (!S_ISREG(st.st_mode))
		return opendirect(out);
	if (!writable(out->path))
		return false;
	return openreplacing(out, &st) || opendirect(out);
}

/* Gives up an export: closes it and removes the new file. */
void
discardoutput(output *out)
{
	std::fclose(out->w.fp);
	removetemp(out);
}

/*
 * Gives the unnamed new file the name out->temp, or another like it
 * where that is taken; the caller holds the stop signals.
 */
static bool
nametemp(output *out)
{
	for (int tries = 0; tries < 100; tries++) {
		if (nameunnamed(fileno(out->w.fp), out->temp)) {
			removeonstop = out->temp.c_str();
			return out->named = true;
		}
		if (errno != EEXIST)
			break;
		newletters(&out->temp);
	}
	return false;
}

/*
 * Names the new file, if it has no name yet, and moves it over
 * out->path, with the stop signals held and the file still open, so
 * that it has a name of its own for as short a time as can be.
 */
static bool
putinplace(output *out)
{
	holdstops(true);
	bool done = (out->named || nametemp(out)) && replacefile(out->temp, out->path);
	if (done) {
		out->named = false;
		removeonstop = nullptr;
	}
	holdstops(false);
	bool closed = std::fclose(out->w.fp) == 0;
	removetemp(out);
	return done && closed;
}

/*
 * Completes an export: flushes the file to disk, puts it in place and
 * puts the folder's change on disk too, so that the new file survives
 * a power loss once this returns true.
 */
bool
completeoutput(output *out)
{
	if (!flushwriter(&out->w) ||
	    (out->replace && !syncfile(fileno(out->w.fp)))) {
		discardoutput(out);
		return false;
	}
	if (!out->replace)
		return std::fclose(out->w.fp) == 0;
	if (!putinplace(out))
		return false;
	syncfolder(folder(out->path));
	return true;
}
