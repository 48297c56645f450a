#include "results/results_file.hpp"

#include "text.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace
{

// The temporary file's name and the directory it is in, held open so that
// the file is found even if the directory is renamed; for discard() in a
// signal handler.
std::array<char, 16> temporary{};
int temporary_directory = -1;

// Makes a temporary file of a short name, ".tsb-" and six random letters
// or digits, in the directory `directory`. Returns its descriptor, or -1
// with errno set.
int make_temporary(int directory)
{
	constexpr std::string_view letters =
	    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
	for (int tries = 0; tries < 100; ++tries) {
		std::array<unsigned char, 6> random{};
		if (getrandom(random.data(), random.size(), 0) !=
		    static_cast<ssize_t>(random.size()))
			return -1;
		std::string name = ".tsb-";
		for (const unsigned char c : random)
			name += letters[c % letters.size()];
		std::memcpy(temporary.data(), name.c_str(), name.size() + 1);
		const int fd = openat(
		    directory, temporary.data(),
		    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
		if (fd >= 0 || errno != EEXIST) {
			if (fd < 0)
				temporary[0] = '\0';
			return fd;
		}
	}
	temporary[0] = '\0';
	return -1;
}

extern "C" void past_file_size_limit(int /*signal*/)
{
}
// The file's name once the results are in place, for written().
std::array<char, 4096> written_name{};

bool same_file(const struct stat &a, const std::string &path)
{
	struct stat b = {};
	return stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
	       a.st_ino == b.st_ino;
}

// The bench's own descriptor open on the file `file`, or -1.
int descriptor_on(const struct stat &file)
{
	std::vector<int> open_ones;
	if (DIR *fds = opendir("/proc/self/fd")) {
		// NOLINTNEXTLINE(concurrency-mt-unsafe): a stream of its own
		while (const dirent *entry = readdir(fds))
			if (entry->d_name[0] != '.')
				open_ones.push_back(static_cast<int>(
				    std::strtol(entry->d_name, nullptr, 10)));
		closedir(fds);
	} else {
		open_ones = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
	}
	std::sort(open_ones.begin(), open_ones.end());
	for (const int fd : open_ones) {
		struct stat open_file = {};
		if (fstat(fd, &open_file) == 0 &&
		    open_file.st_dev == file.st_dev &&
		    open_file.st_ino == file.st_ino)
			return fd;
	}
	return -1;
}

std::string descriptor_name(int fd)
{
	switch (fd) {
	case STDIN_FILENO:
		return "standard input";
	case STDOUT_FILENO:
		return "standard output";
	case STDERR_FILENO:
		return "standard error";
	default:
		return "descriptor " + std::to_string(fd);
	}
}

// The file that `path` names once every symbolic link at its end is
// followed, whether it exists or not: a link stays a link, and a dangling
// one gets its target made. "" with errno set if a link cannot be read.
std::string final_target(std::string path)
{
	for (int links = 0;; ++links) {
		struct stat status = {};
		if (lstat(path.c_str(), &status) != 0 ||
		    !S_ISLNK(status.st_mode))
			return path;
		if (links == 40) {
			errno = ELOOP;
			return "";
		}
		std::array<char, 4096> link{};
		const ssize_t n =
		    readlink(path.c_str(), link.data(), link.size());
		if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
			errno = n < 0 ? errno : ENAMETOOLONG;
			return "";
		}
		const std::string to(link.data(), static_cast<std::size_t>(n));
		const std::size_t slash = path.rfind('/');
		if (to[0] == '/' || slash == std::string::npos) {
			path = to;
		} else {
			path.erase(slash + 1);
			path += to;
		}
	}
}

// Whether the user who runs the bench may write `file` by its mode, as
// access(W_OK) decides for the real user; root may write any file with a
// write permission for someone.
bool may_write(const struct stat &file)
{
	const uid_t user = getuid();
	if (user == 0)
		return (file.st_mode & 0222) != 0;
	if (file.st_uid == user)
		return (file.st_mode & S_IWUSR) != 0;
	bool member = file.st_gid == getgid();
	const int count = getgroups(0, nullptr);
	if (!member && count > 0) {
		std::vector<gid_t> groups(static_cast<std::size_t>(count));
		const int got = getgroups(count, groups.data());
		member =
		    got > 0 && std::find(groups.begin(), groups.begin() + got,
		                         file.st_gid) != groups.begin() + got;
	}
	return (file.st_mode & (member ? S_IWGRP : S_IWOTH)) != 0;
}

// The attributes of `path` (of the directory `at` if it is ""), as statx
// tells them; false if it cannot.
bool attributes(int at, const char *path, struct statx &status)
{
	return statx(at, path, *path == '\0' ? AT_EMPTY_PATH : 0,
	             STATX_BASIC_STATS | STATX_MNT_ID, &status) == 0;
}

// Whether the attribute `flag` (STATX_ATTR_...) is set.
bool has(const struct statx &status, std::uint64_t flag)
{
	return (status.stx_attributes_mask & status.stx_attributes & flag) != 0;
}

// Why the rename that puts the results in place at the end would fail,
// found before any run: the directory `directory` or, if `existing` is
// its status, the file `target` that `path` names. "" if it would not.
std::string cannot_replace(const std::string &path, const std::string &target,
                           const std::string &directory,
                           const struct stat *existing)
{
	struct statx in = {};
	if (attributes(AT_FDCWD, directory.c_str(), in) &&
	    has(in, STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE))
		return "cannot write in " + directory + ": it is " +
		       (has(in, STATX_ATTR_IMMUTABLE) ? "immutable"
		                                      : "append-only") +
		       ", so no file in it can be replaced";
	if (existing == nullptr)
		return "";
	struct statx file = {};
	if (!attributes(AT_FDCWD, target.c_str(), file))
		return "";
	if (has(file, STATX_ATTR_IMMUTABLE))
		return path + ": is immutable (chattr +i), so it cannot be " +
		       "replaced";
	if (has(file, STATX_ATTR_APPEND))
		return path + ": is append-only (chattr +a), so it cannot " +
		       "be replaced";
	const bool mount_ids =
	    (in.stx_mask & file.stx_mask & STATX_MNT_ID) != 0;
	if ((mount_ids && in.stx_mnt_id != file.stx_mnt_id) ||
	    in.stx_dev_major != file.stx_dev_major ||
	    in.stx_dev_minor != file.stx_dev_minor)
		return path + ": is a mount point (mounted on its own, as a " +
		       "container's file volume is), so it cannot be replaced";
	// Only the file's owner, the directory's or root may replace a file
	// in a sticky directory.
	const uid_t user = geteuid();
	if ((in.stx_mode & S_ISVTX) != 0 && user != 0 &&
	    existing->st_uid != user && in.stx_uid != user)
		return path + ": belongs to another user in a sticky " +
		       "directory, so only they can replace it";
	return "";
}

// Why the existing regular file `path`, whose status is `existing`, is not
// to be replaced by the results, or "".
std::string unsafe_to_replace(const std::string &path,
                              const struct stat &existing, bool force)
{
	// Renamed over, the file would be lost to whoever reads or writes
	// it through the bench's own descriptor, as a shell's >>log.txt with
	// --benchmark_out=/dev/stdout.
	const int fd = descriptor_on(existing);
	if (fd >= 0)
		return path + ": is the bench's " + descriptor_name(fd) +
		       ", which the results would replace; give them a file "
		       "of their own";
	// Replaced, a file of several names would keep its old content
	// under the others.
	if (existing.st_nlink > 1)
		return path + ": has " + std::to_string(existing.st_nlink) +
		       " hard links, which replacing it would split; give the "
		       "results a file of their own";
	if (!force && !may_write(existing))
		return path + ": is not writable by its mode; --force " +
		       "replaces it all the same";
	return "";
}

// Why `path`, whose status is `existing`, is one of the programs the bench
// runs, `measured`; "" if it is none.
std::string measured_one(const std::string &path, const struct stat &existing,
                         const std::vector<std::string> &measured)
{
	const auto program =
	    std::find_if(measured.begin(), measured.end(),
	                 [&existing](const std::string &measured_path) {
		                 return same_file(existing, measured_path);
	                 });
	if (program == measured.end())
		return "";
	std::string why = path + ": is ";
	why += *program;
	why += ", which the bench measures";
	return why;
}

std::string directory_of(const std::string &path)
{
	const std::size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool FdBuffer::write_out()
{
	const char *s = pbase();
	auto n = static_cast<std::size_t>(pptr() - pbase());
	while (n > 0 && error_ == 0) {
		const ssize_t written = write(fd_, s, n);
		if (written < 0 && errno == EINTR)
			continue;
		if (written <= 0) {
			error_ = written < 0 ? errno : EIO;
			break;
		}
		s += written;
		n -= static_cast<std::size_t>(written);
	}
	setp(begin(), begin() + size());
	return error_ == 0;
}

FdBuffer::int_type FdBuffer::overflow(int_type c)
{
	if (!write_out())
		return traits_type::eof();
	if (!traits_type::eq_int_type(c, traits_type::eof()))
		sputc(traits_type::to_char_type(c));
	return traits_type::not_eof(c);
}

int FdBuffer::sync()
{
	return write_out() ? 0 : -1;
}

std::string ResultsFile::open(const std::string &path,
                              const std::vector<std::string> &measured,
                              bool force)
{
	if (path.empty())
		return "--benchmark_out needs a file name";
	target_ = final_target(path);
	if (target_.empty())
		return path + ": " + error_text(errno);
	struct stat existing = {};
	if (stat(target_.c_str(), &existing) == 0) {
		if (S_ISDIR(existing.st_mode))
			return path + ": is a directory";
		std::string program = measured_one(path, existing, measured);
		if (!program.empty())
			return program;
		if (!S_ISREG(existing.st_mode)) {
			// A device or a FIFO: written directly, never
			// replaced or removed.
			fd_ = ::open(path.c_str(),
			             O_WRONLY | O_NOCTTY | O_CLOEXEC);
			if (fd_ < 0)
				return path + ": " + error_text(errno);
			buffer_.attach(fd_);
			return "";
		}
		std::string unsafe = unsafe_to_replace(path, existing, force);
		if (!unsafe.empty())
			return unsafe;
		mode_ = static_cast<int>(existing.st_mode & 07777);
		owner_ = existing.st_uid;
		group_ = existing.st_gid;
		keep_owner_ = true;
	} else if (errno != ENOENT) {
		return path + ": " + error_text(errno);
	} else {
		const mode_t mask = umask(0);
		umask(mask);
		mode_ = static_cast<int>(0666 & ~mask);
	}

	const std::string directory = directory_of(target_);
	std::string cannot = cannot_replace(path, target_, directory,
	                                    keep_owner_ ? &existing : nullptr);
	if (!cannot.empty())
		return cannot;
	// A short name of its own, so that every name the directory takes
	// can be replaced.
	name_ = target_.substr(target_.rfind('/') + 1);
	directory_ =
	    ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (directory_ >= 0)
		fd_ = make_temporary(directory_);
	if (directory_ < 0 || fd_ < 0) {
		const int error = errno;
		if (directory_ >= 0)
			(void)close(directory_);
		directory_ = -1;
		return "cannot write in " + directory + ": " +
		       error_text(error);
	}
	temporary_directory = directory_;
	replace_ = true;
	buffer_.attach(fd_);
	return take_old_ones_attributes(path);
}

std::string ResultsFile::take_old_ones_attributes(const std::string &path)
{
	// The new file takes the old one's owner and group (which drops any
	// set-user-ID bit), then its mode; if it cannot, no run is made.
	struct stat made = {};
	if (fstat(fd_, &made) != 0 ||
	    (keep_owner_ && (made.st_uid != owner_ || made.st_gid != group_) &&
	     fchown(fd_, owner_, group_) != 0)) {
		const int error = errno;
		abandon();
		return path +
		       ": cannot give the new file the owner and group " +
		       "of the old one: " + error_text(error);
	}
	if (fchmod(fd_, static_cast<mode_t>(mode_)) != 0) {
		const int error = errno;
		abandon();
		return path +
		       ": cannot give the new file the mode of the old " +
		       "one: " + error_text(error);
	}
	return "";
}

std::string ResultsFile::commit()
{
	stream_.flush();
	int error = buffer_.error();
	if (error == 0 && replace_ && fsync(fd_) != 0)
		error = errno;
	if (close(fd_) != 0 && error == 0 && errno != EINTR)
		error = errno;
	fd_ = -1;
	// No signal between the rename and noting it: the handler tells a
	// file put in place from one that was not.
	sigset_t all;
	sigset_t before;
	sigfillset(&all);
	(void)pthread_sigmask(SIG_BLOCK, &all, &before);
	if (error == 0 && replace_ &&
	    renameat(directory_, temporary.data(), directory_, name_.c_str()) !=
	        0)
		error = errno;
	if (error == 0) {
		temporary[0] = '\0';
		// A name the system opened fits in PATH_MAX.
		if (target_.size() < written_name.size())
			std::memcpy(written_name.data(), target_.c_str(),
			            target_.size() + 1);
	}
	(void)pthread_sigmask(SIG_SETMASK, &before, nullptr);
	if (error != 0) {
		discard();
		return target_ + ": " + error_text(error);
	}
	return "";
}

void ResultsFile::abandon()
{
	(void)close(fd_);
	fd_ = -1;
	replace_ = false;
	discard();
}

void ResultsFile::fail_writes_past_limits()
{
	// A handler, unlike SIG_IGN, is not passed on to the runs.
	struct sigaction action = {};
	action.sa_handler = past_file_size_limit;
	(void)sigaction(SIGXFSZ, &action, nullptr);
}

const char *ResultsFile::written()
{
	return written_name[0] != '\0' ? written_name.data() : nullptr;
}

void ResultsFile::discard()
{
	if (temporary[0] != '\0')
		(void)unlinkat(temporary_directory, temporary.data(), 0);
	temporary[0] = '\0';
}
