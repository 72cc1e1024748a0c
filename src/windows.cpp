// SPDX-License-Identifier: MIT
// Copyright (c) 2026 the Vantrel developers
/*
 * The platform layer on Windows: the arguments and the standard
 * descriptors, the console's stop events, the source file, and the
 * output, which puts a new file in the place of the destination.
 *
 * Names are held inside the run in WTF-8, the form of UTF-8 that holds
 * any string of UTF-16 units, a lone surrogate too, and reach the
 * system as the very units the arguments held, through its wide calls.
 * A folder is held by its path: Windows has no calls relative to a
 * folder's handle, and a file open there can't be renamed or removed
 * under the run. A file that is there is replaced under the name the
 * system holds for it, asked of its open handle: its long name, in its
 * own case, whatever spelling named it. There are no unnamed files: the
 * new file is named from the start, but marked for deletion (its
 * disposition) until the moment it is put in place, so that a run ended
 * by any means, TerminateProcess too, leaves nothing. A file that is
 * replaced is replaced by the system's own call, ReplaceFileW, which
 * carries the former file's attributes, access list and streams onto
 * the new one. Only what is no regular file is written itself: a device
 * such as NUL, and the run's own standard output or error. No file is
 * ever written over in place: where no new file can be made beside it,
 * the run is refused before anything is written.
 */
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "platform.h"

/*
 * A system call of the export. The build for the tests can make it fail
 * in its place by its name, the system's last error set to the one the
 * test names, whose code it gives in errno, and the call returning what
 * a failed call does: FALSE, 0, or an invalid handle.
 */
template <typename T> static T failvalue() { return T(); }
template <> HANDLE failvalue<HANDLE>() { return INVALID_HANDLE_VALUE; }
#define SYS(call, ...) \
	(sysfails(#call, __func__) ? (SetLastError(DWORD(errno)), failvalue<decltype(call(__VA_ARGS__))>()) : call(__VA_ARGS__))

#define NAMEMAX 255         /* the longest name a folder takes: 255 UTF-16 units, never more bytes of WTF-8 */
#define WRITEMAX 0x40000000 /* the most bytes given to one WriteFile */
#define SDMAX (20 + 65536)  /* the largest security descriptor with an access list alone: its header, a list of 64 KiB */
#define SHARINGTRIES 20     /* ReplaceFileW met by a sharing violation, a scanner's open: tried for a second in all */

/* How a destination is written: the one choice planoutput() makes. */
enum mechanism {
	WRITE_ITSELF, /* what is no regular file, written as it is: a device, the run's own output */
	PUT_NEWFILE   /* a new file made beside it, put in its place once complete */
};

/* What planoutput() found the destination to be, and so how it is written. */
struct plan {
	mechanism how = WRITE_ITSELF;
	std::wstring dest;       /* the whole name: the one the system holds for a file there, or the one to make */
	bool former = false;     /* PUT_NEWFILE: a file is there, to be replaced by ReplaceFileW */
	HANDLE through = nullptr; /* WRITE_ITSELF: the run's own handle that the destination is, if any */
};

/*
 * A destination being written. The whole names are made when it opens,
 * so that nothing need be allocated once the new file exists.
 */
struct windowsoutput {
	plan p;
	std::string temp;     /* the new file's temporary name in the destination's folder, in WTF-8 */
	std::wstring wtemp;   /* its whole name */
	std::wstring wbackup; /* the former file's whole name while ReplaceFileW replaces it */
	HANDLE h = INVALID_HANDLE_VALUE; /* what is written */
	bool named = false;   /* the new file bears wtemp, its mark cleared, and loses it unless put in place */
};

/*
 * Appends the character c to s in WTF-8: as UTF-8 does, and a lone
 * surrogate as the three bytes its value would have.
 */
static void
putwtf8(std::string *s, uint32_t c)
{
	int n = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3; /* the bytes after the first */

	s->push_back(char(n == 0 ? c : ((0xff80 >> n) & 0xff) | c >> 6 * n));
	while (n-- > 0)
		s->push_back(char(0x80 | (c >> 6 * n & 0x3f)));
}

/* A string of UTF-16 units in WTF-8, which widename() gives back whole. */
static std::string
wtf8(const wchar_t *w)
{
	std::string s;

	for (; *w != L'\0'; w++) {
		uint32_t c = uint16_t(*w);
		if (c >= 0xd800 && c < 0xdc00 && w[1] >= 0xdc00 && w[1] < 0xe000)
			c = 0x10000 + ((c - 0xd800) << 10) + (uint16_t(*++w) - 0xdc00);
		putwtf8(&s, c);
	}
	return s;
}

/*
 * The UTF-16 units of a name in WTF-8, as wtf8() made it. False for
 * bytes that end inside a character: no name can come whole from them.
 */
static bool
units(const std::string &s, std::wstring *w)
{
	for (size_t i = 0; i < s.size();) {
		unsigned char b = s[i++];
		int n = b < 0xc0 ? 0 : b < 0xe0 ? 1 : b < 0xf0 ? 2 : 3; /* the bytes after the first */
		uint32_t c = n == 0 ? b : b & (0x3f >> n);
		if (s.size() - i < size_t(n))
			return false;
		while (n-- > 0)
			c = c << 6 | (s[i++] & 0x3f);
		if (c >= 0x10000) {
			w->push_back(wchar_t(0xd800 + ((c - 0x10000) >> 10)));
			c = 0xdc00 + (c & 0x3ff);
		}
		w->push_back(wchar_t(c));
	}
	return true;
}

/*
 * The whole name of a file for the system's wide calls: the full path,
 * with the prefix that lifts MAX_PATH, so that it is given whole; a
 * device such as NUL, and a name that has the prefix, keep their own
 * form. A name that can't be held whole is empty, which names no file.
 */
static std::wstring
widename(const std::string &name)
{
	std::wstring w;

	if (!units(name, &w))
		return L"";
	std::wstring full(GetFullPathNameW(w.c_str(), 0, nullptr, nullptr), L'\0');
	full.resize(GetFullPathNameW(w.c_str(), DWORD(full.size()), &full[0], nullptr));
	if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0)
		return full;
	if (full.compare(0, 2, L"\\\\") == 0)
		return L"\\\\?\\UNC\\" + full.substr(2);
	return L"\\\\?\\" + full;
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

/* Sets errno from the system's last error, for retryname(), which reads it. */
static void
seterrno(void)
{
	DWORD err = GetLastError();

	errno = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS ? EEXIST : EIO;
}

/*
 * The last part of the program's path, for messages, in the console's
 * code page. It is cut in wide characters: in a double-byte code page
 * such as 932 the second byte of a character (表, ソ) may be a
 * backslash.
 */
static std::string
programname(const wchar_t *path)
{
	const wchar_t *name = path;
	UINT console = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : GetACP();

	for (const wchar_t *p = path; *p != L'\0'; p++)
		if (*p == L'\\' || *p == L'/')
			name = p + 1;
	return narrow(name, console);
}

/*
 * Takes the arguments as the system holds them, in wide characters:
 * the file names in WTF-8, and argv[0], which serves only for messages,
 * as the program's name alone. They live for the whole run.
 */
static void
takeargs(int *argc, char ***argv)
{
	static std::vector<std::string> words;
	static std::vector<char *> ptrs;
	int n;
	wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);

	if (w == nullptr)
		return;
	for (int i = 0; i < n; i++)
		words.push_back(i == 0 ? programname(w[0]) : wtf8(w[i]));
	LocalFree(w);
	for (std::string &s : words)
		ptrs.push_back(&s[0]);
	ptrs.push_back(nullptr);
	*argc = n;
	*argv = ptrs.data();
}

/*
 * Opens NUL on each standard descriptor that has no handle, so that no
 * file the run opens can take its place; standard output for reading
 * only, so that its failed writes end the run as one whose output
 * failed. Returns false when one can't be held.
 */
static bool
guardstdfds(void)
{
	for (int fd = 0; fd <= 2; fd++) {
		if (_get_osfhandle(fd) >= 0)
			continue;
		int nul = _open("NUL", fd == 1 ? _O_RDONLY : _O_RDWR);
		if (nul < 0)
			return false;
		if (nul != fd) {
			_dup2(nul, fd);
			_close(nul);
		}
	}
	return true;
}

FILE *
openinput(const std::string &name)
{
	return _wfopen(widename(name).c_str(), L"rb");
}

/*
 * Standard output is a text stream, whose every "\n" becomes CR LF, the
 * messages' line ends as Windows has them; a text that holds a line end
 * is written in binary mode, as the bytes it holds.
 */
void
puttext(const char *text)
{
	if (std::strchr(text, '\n') == nullptr) {
		std::fputs(text, stdout);
		return;
	}
	std::fflush(stdout);
	_setmode(_fileno(stdout), _O_BINARY);
	std::fputs(text, stdout);
	std::fflush(stdout);
	_setmode(_fileno(stdout), _O_TEXT);
}

/*
 * The console's stop events, as signals are on Unix: Ctrl-C,
 * Ctrl-Break, a closed window. The system ends the run as it would
 * have, which removes a new file marked for deletion; but while the new
 * file is made, and from the moment its mark is cleared, they wait.
 */
static CRITICAL_SECTION stopping;
static bool holding; /* the main thread holds the stop events off now */

static BOOL WINAPI
onstop(DWORD)
{
	EnterCriticalSection(&stopping);
	return FALSE;
}

/*
 * Holds the stop handler off while the new file is made and marked,
 * and from the moment its mark is cleared. Holds do not nest: one
 * release lets it in.
 */
static void
holdstops(void)
{
	if (!holding)
		EnterCriticalSection(&stopping);
	holding = true;
}

static void
releasestops(void)
{
	if (holding)
		LeaveCriticalSection(&stopping);
	holding = false;
}

bool
startrun(int *argc, char ***argv)
{
	if (!guardstdfds())
		return false;
	takeargs(argc, argv);
	InitializeCriticalSection(&stopping);
	SetConsoleCtrlHandler(onstop, TRUE);
	return true;
}

/*
 * The run's own standard output or error, where it is the file open as
 * h: the same volume serial number and file id (FileIdInfo), so that
 * output sent to a file by any of its names (">> log") is appended to.
 * None where it is neither, or where the filesystem can't tell.
 */
static HANDLE
ownhandle(HANDLE h)
{
	FILE_ID_INFO file, std;

	if (!GetFileInformationByHandleEx(h, FileIdInfo, &file, sizeof(file)))
		return nullptr;
	for (int fd = 1; fd <= 2; fd++) {
		HANDLE stdh = HANDLE(_get_osfhandle(fd));
		if (GetFileInformationByHandleEx(stdh, FileIdInfo, &std, sizeof(std)) &&
		    std.VolumeSerialNumber == file.VolumeSerialNumber && std::memcmp(&std.FileId, &file.FileId, sizeof(file.FileId)) == 0)
			return stdh;
	}
	return nullptr;
}

/*
 * The whole name the system holds for the file open as h: its long
 * name, in its own case, on the path with no link in it, from the
 * volume's drive letter, or where it has none, its GUID.
 */
static bool
systemname(HANDLE h, std::wstring *name)
{
	for (DWORD volume : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
		DWORD n = SYS(GetFinalPathNameByHandleW, h, nullptr, 0, FILE_NAME_NORMALIZED | volume);
		name->assign(n, L'\0');
		DWORD k = n > 0 ? SYS(GetFinalPathNameByHandleW, h, &(*name)[0], n, FILE_NAME_NORMALIZED | volume) : 0;
		if (k > 0 && k < n) {
			name->resize(k);
			return true;
		}
	}
	return false;
}

/*
 * Plans the writing of what the name w opened as h: a device is
 * written itself, and so is the run's own standard output or error; a
 * regular file is replaced under the name the system holds for it. A
 * folder and a read-only file are refused, as the read-only attribute
 * is the one permission a Windows file has.
 */
static bool
planexisting(HANDLE h, const std::wstring &w, plan *p)
{
	BY_HANDLE_FILE_INFORMATION info;
	DWORD type = SYS(GetFileType, h);

	p->dest = w;
	if (type != FILE_TYPE_DISK)
		return type != FILE_TYPE_UNKNOWN;
	if (!SYS(GetFileInformationByHandle, h, &info) ||
	    (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
		return false;
	p->through = ownhandle(h);
	if (p->through != nullptr)
		return true;
	p->how = PUT_NEWFILE;
	p->former = true;
	return systemname(h, &p->dest);
}

/*
 * Looks at the destination, following a symbolic link, and plans how
 * it is written (*p); false where it can't be. A name that leads to no
 * file is a new file to be made under it.
 */
static bool
planoutput(const std::string &name, plan *p)
{
	std::wstring w = widename(name);
	HANDLE h = SYS(CreateFileW, w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
	    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);

	if (h == INVALID_HANDLE_VALUE) {
		p->how = PUT_NEWFILE;
		p->dest = w;
		return GetLastError() == ERROR_FILE_NOT_FOUND;
	}
	bool planned = planexisting(h, w, p);
	CloseHandle(h);
	return planned;
}

/*
 * Opens what is written itself: a copy of the run's own handle, so that
 * what is written goes where its output goes, or the device by its
 * name.
 */
static bool
openitself(output *out)
{
	if (out->p.through != nullptr)
		return SYS(DuplicateHandle, GetCurrentProcess(), out->p.through, GetCurrentProcess(), &out->h, 0, FALSE,
		    DUPLICATE_SAME_ACCESS);
	out->h = SYS(CreateFileW, out->p.dest.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
	    OPEN_EXISTING, 0, nullptr);
	return out->h != INVALID_HANDLE_VALUE;
}

/*
 * Marks a file for deletion when its last handle closes (its
 * disposition), or clears the mark. The system keeps the mark with the
 * file, so a run ended by any means while it stands leaves nothing;
 * unlike FILE_FLAG_DELETE_ON_CLOSE it can be cleared. It is the call
 * DeleteFileW makes, so a file that can't be marked could not be
 * removed either.
 */
static bool
markfordeletion(HANDLE h, bool mark)
{
	FILE_DISPOSITION_INFO info = {mark};

	return SYS(SetFileInformationByHandle, h, FileDispositionInfo, &info, sizeof(info)) != 0;
}

/*
 * Makes a new file of the whole name w, for writing, marked for
 * deletion; errno EEXIST when the name is taken. The handle may delete
 * the file, a right that moving it takes too, and has what access adds.
 * No call makes a file and marks it at once: a run ended outright
 * (TerminateProcess) in the instant between may leave it, empty.
 */
static HANDLE
createnew(const std::wstring &w, DWORD access)
{
	HANDLE h = SYS(CreateFileW, w.c_str(), GENERIC_WRITE | DELETE | access, FILE_SHARE_READ | FILE_SHARE_DELETE,
	    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);

	if (h == INVALID_HANDLE_VALUE) {
		seterrno();
		return h;
	}
	if (markfordeletion(h, true))
		return h;
	errno = EIO;
	CloseHandle(h);
	DeleteFileW(w.c_str());
	return INVALID_HANDLE_VALUE;
}

/* The folder of a whole name, with the separator that ends it. */
static std::wstring
folderof(const std::wstring &w)
{
	return w.substr(0, w.find_last_of(L'\\') + 1);
}

/*
 * Makes the new file under a temporary name beside the destination,
 * or another like it where that is taken; one that is to replace a file
 * may be given that file's access list (WRITE_DAC).
 */
static bool
createtemp(output *out)
{
	int tries = 0;

	out->temp = tempname(wtf8(out->p.dest.substr(folderof(out->p.dest).size()).c_str()), NAMEMAX);
	do {
		out->wtemp = folderof(out->p.dest);
		units(out->temp, &out->wtemp);
		holdstops();
		out->h = createnew(out->wtemp, out->p.former ? WRITE_DAC : 0);
		releasestops();
	} while (out->h == INVALID_HANDLE_VALUE && retryname(&out->temp, &tries));
	return out->h != INVALID_HANDLE_VALUE;
}

/*
 * Names the former file's place while ReplaceFileW replaces it: beside
 * it, under a name no file bears now, as the call would put it over
 * one. A name the system can't tell of counts as taken.
 */
static bool
namebackup(output *out)
{
	std::string name = wtf8(out->p.dest.substr(folderof(out->p.dest).size()).c_str());
	WIN32_FILE_ATTRIBUTE_DATA data;

	for (int tries = 0; tries < 100; tries++) {
		out->wbackup = folderof(out->p.dest);
		units(tempname(name, NAMEMAX), &out->wbackup);
		if (!SYS(GetFileAttributesExW, out->wbackup.c_str(), GetFileExInfoStandard, &data) &&
		    GetLastError() == ERROR_FILE_NOT_FOUND)
			return true;
	}
	return false;
}

/* Opens the destination as its plan says; false where it can't be written. */
static bool
openoutput(output *out)
{
	switch (out->p.how) {
	case WRITE_ITSELF:
		return openitself(out);
	case PUT_NEWFILE:
		break;
	}
	return (!out->p.former || namebackup(out)) && createtemp(out);
}

output *
new_output(const std::string &name)
{
	std::unique_ptr<output, void (*)(output *)> out(new output(), closeoutput);

	return planoutput(name, &out->p) && openoutput(out.get()) ? out.release() : nullptr;
}

bool
writeoutput(output *out, const void *buf, size_t n)
{
	const char *p = static_cast<const char *>(buf);

	while (n > 0) {
		DWORD k;
		if (!SYS(WriteFile, out->h, p, DWORD(std::min(n, size_t(WRITEMAX))), &k, nullptr) || k == 0)
			return false;
		p += k;
		n -= k;
	}
	return true;
}

/*
 * Closes what was written. CloseHandle reports no failed write, which
 * FlushFileBuffers has already, and frees the handle whatever it says.
 */
static void
closefile(output *out)
{
	CloseHandle(out->h);
	out->h = INVALID_HANDLE_VALUE;
}

/*
 * Clears the new file's mark, the last step before it is put in place.
 * From here only a run ended outright (TerminateProcess) could leave it,
 * as the stop events wait; the new file now loses its name unless put
 * in place.
 */
static bool
unmark(output *out)
{
	if (!markfordeletion(out->h, false))
		return false;
	out->named = true;
	return true;
}

/*
 * Moves the new file from its temporary name to the destination's. A
 * move replaces a file there only when flags say so
 * (MOVEFILE_REPLACE_EXISTING); errno EEXIST when it doesn't and the
 * name is taken.
 */
static bool
movetemp(output *out, DWORD flags)
{
	if (!SYS(MoveFileExW, out->wtemp.c_str(), out->p.dest.c_str(), flags | MOVEFILE_WRITE_THROUGH)) {
		seterrno();
		return false;
	}
	out->named = false;
	return true;
}

/*
 * Gives the file to the access list of the file from, exactly as it
 * stands: protected from the folder's or not, and its inherited entries
 * as they were inherited, so that no one gains access.
 */
static bool
keepacl(HANDLE from, HANDLE to)
{
	static unsigned char sd[SDMAX];
	DWORD n;

	return SYS(GetKernelObjectSecurity, from, DACL_SECURITY_INFORMATION, sd, sizeof(sd), &n) &&
	    SYS(SetKernelObjectSecurity, to, DACL_SECURITY_INFORMATION, sd);
}

/*
 * Gives the file to the hidden, system and not-indexed attributes and
 * the creation time of the file from. It stays due for backup
 * (archive), as any file written is.
 */
static bool
keepattributes(HANDLE from, HANDLE to)
{
	const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
	FILE_BASIC_INFO info;

	if (!SYS(GetFileInformationByHandleEx, from, FileBasicInfo, &info, sizeof(info)))
		return false;
	info.LastAccessTime.QuadPart = info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = 0; /* as they are */
	info.FileAttributes = (info.FileAttributes & kept) | FILE_ATTRIBUTE_ARCHIVE;
	return SYS(SetFileInformationByHandle, to, FileBasicInfo, &info, sizeof(info)) != 0;
}

/*
 * Gives the new file the former one's access list and attributes
 * before the replacing call, which carries them too, so that they hold
 * on every path: where the system's call carries less, and where a
 * plain move replaces the file instead. A former file whose access
 * list can't be read or given is not replaced, as the new file would
 * be open to more users.
 */
static bool
keepformer(output *out)
{
	HANDLE former = SYS(CreateFileW, out->p.dest.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
	    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);

	if (former == INVALID_HANDLE_VALUE)
		return false;
	bool kept = keepacl(former, out->h) && keepattributes(former, out->h);
	CloseHandle(former);
	return kept;
}

/*
 * After a failed ReplaceFileW. Where it stopped half way, the former
 * file bears the backup name: it gets its own back, or, should even
 * that fail, keeps the backup name, so that no bookmark is lost. Where
 * the system can't replace a file here (a filesystem that refuses the
 * call, or can't move the new file the way the call does), a plain
 * move replaces it; the new file then keeps what keepformer() gave it,
 * but neither the former file's alternate streams nor its short name.
 */
static completion
replacefailed(output *out, DWORD err)
{
	WIN32_FILE_ATTRIBUTE_DATA data;

	if (GetFileAttributesExW(out->wbackup.c_str(), GetFileExInfoStandard, &data) &&
	    !MoveFileExW(out->wbackup.c_str(), out->p.dest.c_str(), MOVEFILE_WRITE_THROUGH))
		return COMPLETE_FAILED;
	switch (err) {
	case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
	case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
	case ERROR_INVALID_FUNCTION:
	case ERROR_NOT_SUPPORTED:
		return movetemp(out, MOVEFILE_REPLACE_EXISTING) ? COMPLETE_OK : COMPLETE_FAILED;
	default:
		return COMPLETE_FAILED;
	}
}

/*
 * Puts the new file over the former one with ReplaceFileW, the backup
 * name holding the former file meanwhile, then removes that. The call
 * opens the new file for itself alone, so it is closed first, its mark
 * cleared: a run ended outright from here until the call is done may
 * leave it. A scanner that opens the file in that instant makes the
 * call fail with a sharing violation, so that is tried again for a
 * second. REPLACEFILE_IGNORE_MERGE_ERRORS is not given, so that a
 * failure to carry the access list fails the call; the file is on disk
 * already, whatever REPLACEFILE_WRITE_THROUGH does.
 */
static completion
replace(output *out)
{
	if (!keepformer(out) || !unmark(out))
		return COMPLETE_FAILED;
	closefile(out);
	for (int tries = 0; !SYS(ReplaceFileW, out->p.dest.c_str(), out->wtemp.c_str(), out->wbackup.c_str(),
	    REPLACEFILE_WRITE_THROUGH, nullptr, nullptr); tries++) {
		DWORD err = GetLastError();
		if (err != ERROR_SHARING_VIOLATION || tries == SHARINGTRIES)
			return replacefailed(out, err);
		Sleep(50);
	}
	out->named = false;
	DeleteFileW(out->wbackup.c_str());
	return COMPLETE_OK;
}

/*
 * Moves the new file to the new destination's name, the file still
 * open; a file that took the name meanwhile is replaced.
 */
static completion
movenew(output *out)
{
	if (!unmark(out))
		return COMPLETE_FAILED;
	if (!movetemp(out, 0) && (errno != EEXIST || !movetemp(out, MOVEFILE_REPLACE_EXISTING)))
		return COMPLETE_FAILED;
	closefile(out);
	return COMPLETE_OK;
}

/*
 * Puts what was written on disk and in the destination's place: what is
 * written itself is closed, and a new file put on disk (FlushFileBuffers)
 * and then over the former one, or under the new name. The stop handler
 * is held off from the moment the file is on disk, and stays so until
 * closeoutput(). Windows has no call that puts a folder's change on
 * disk: the move is written through, and left to the filesystem's
 * journal.
 */
completion
commitoutput(output *out)
{
	switch (out->p.how) {
	case WRITE_ITSELF:
		holdstops();
		closefile(out);
		return COMPLETE_OK;
	case PUT_NEWFILE:
		if (!SYS(FlushFileBuffers, out->h))
			return COMPLETE_FAILED;
		holdstops();
		return out->p.former ? replace(out) : movenew(out);
	}
	return COMPLETE_FAILED;
}

/*
 * Ends the output: the new file is closed, which removes it while it
 * is marked, and removed by its name once its mark is cleared, unless
 * it is in place; the stop handler is let in again.
 */
void
closeoutput(output *out)
{
	holdstops();
	if (out->h != INVALID_HANDLE_VALUE)
		CloseHandle(out->h);
	if (out->named)
		DeleteFileW(out->wtemp.c_str());
	out->named = false;
	releasestops();
	delete out;
}
#endif
