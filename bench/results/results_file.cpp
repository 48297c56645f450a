#include "results/results_file.hpp"

#include "text.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace
{

// The temporary file's name, for discard() in a signal handler.
std::array<char, 4096> temporary{};
// The file's name once the results are in place, for written().
std::array<char, 4096> written_name{};

bool same_file(const struct stat &a, const std::string &path)
{
	struct stat b = {};
	return stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
	       a.st_ino == b.st_ino;
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
                              const std::vector<std::string> &measured)
{
	if (path.empty())
		return "--benchmark_out needs a file name";
	target_ = path;
	struct stat existing = {};
	if (stat(path.c_str(), &existing) == 0) {
		if (S_ISDIR(existing.st_mode))
			return path + ": is a directory";
		const auto program = std::find_if(
		    measured.begin(), measured.end(),
		    [&existing](const std::string &measured_path) {
			    return same_file(existing, measured_path);
		    });
		if (program != measured.end()) {
			std::string why = path + ": is ";
			why += *program;
			why += ", which the bench measures";
			return why;
		}
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
		mode_ = static_cast<int>(existing.st_mode & 07777);
		// A link is left in place and its target replaced.
		std::array<char, 4096> real{};
		if (realpath(path.c_str(), real.data()) != nullptr)
			target_ = real.data();
	} else if (errno != ENOENT) {
		return path + ": " + error_text(errno);
	} else {
		const mode_t mask = umask(0);
		umask(mask);
		mode_ = static_cast<int>(0666 & ~mask);
	}

	const std::string directory = directory_of(target_);
	std::string name = target_;
	name.insert(name.rfind('/') == std::string::npos ? 0
	                                                 : name.rfind('/') + 1,
	            ".");
	name += ".XXXXXX";
	if (name.size() >= temporary.size())
		return path + ": the name is too long";
	std::memcpy(temporary.data(), name.c_str(), name.size() + 1);
	fd_ = mkostemp(temporary.data(), O_CLOEXEC);
	if (fd_ < 0) {
		const int error = errno;
		temporary[0] = '\0';
		return "cannot write in " + directory + ": " +
		       error_text(error);
	}
	replace_ = true;
	buffer_.attach(fd_);
	return "";
}

std::string ResultsFile::commit()
{
	stream_.flush();
	int error = buffer_.error();
	if (error == 0 && replace_ &&
	    (fchmod(fd_, static_cast<mode_t>(mode_)) != 0 || fsync(fd_) != 0))
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
	    rename(temporary.data(), target_.c_str()) != 0)
		error = errno;
	if (error == 0) {
		temporary[0] = '\0';
		// Shorter than the temporary file's name, which fitted.
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

const char *ResultsFile::written()
{
	return written_name[0] != '\0' ? written_name.data() : nullptr;
}

void ResultsFile::discard()
{
	if (temporary[0] != '\0')
		unlink(temporary.data());
	temporary[0] = '\0';
}
