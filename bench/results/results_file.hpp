// The file that --benchmark_out names, written so that no file of the
// user's is ever lost: the results go to a temporary file beside it, which
// is renamed over it only once every run has succeeded. A device or a FIFO
// is written directly and never removed.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

// An output stream buffer over a file descriptor that remembers the first
// error of a write.
class FdBuffer : public std::streambuf
{
public:
	FdBuffer() : buffer_(1 << 16) { setp(begin(), begin() + size()); }
	void attach(int fd) { fd_ = fd; }
	int error() const { return error_; }

protected:
	int_type overflow(int_type c) override;
	int sync() override;

private:
	char *begin() { return buffer_.data(); }
	std::ptrdiff_t size() const
	{
		return static_cast<std::ptrdiff_t>(buffer_.size());
	}
	// Writes out what the buffer holds; false once a write has failed.
	bool write_out();
	int fd_ = -1;
	int error_ = 0;
	std::vector<char> buffer_;
};

class ResultsFile
{
public:
	// Checks that `path` can take the results and prepares it, touching
	// no file but a new temporary one. `measured` are the programs the
	// bench runs, which it must not be; with `force`, a file that its
	// mode does not let the user write is replaced all the same. Returns
	// "" or why it cannot.
	[[nodiscard]] std::string open(const std::string &path,
	                               const std::vector<std::string> &measured,
	                               bool force);
	std::ostream &stream() { return stream_; }
	// Writes out the results and puts the file in its place. Returns ""
	// or why that failed; then the temporary file is gone.
	[[nodiscard]] std::string commit();
	// Removes the temporary file, if there is one; safe in a signal
	// handler.
	static void discard();
	// Makes a write past the file size limit (ulimit -f) fail with EFBIG,
	// to be reported, rather than kill the bench with SIGXFSZ.
	static void fail_writes_past_limits();
	// The file's name once commit() has put the results in place, or
	// null; safe in a signal handler.
	static const char *written();

private:
	// Closes and removes the temporary file made by open.
	void abandon();
	// Gives the temporary file the owner, group and mode it is to have.
	// Returns "" or why it cannot, then having abandoned it.
	[[nodiscard]] std::string
	take_old_ones_attributes(const std::string &path);
	std::string target_;
	std::string name_;   // the target's name in its directory
	int directory_ = -1; // the directory, held open to the end
	int fd_ = -1;
	bool replace_ = false; // written to a temporary file, then renamed
	int mode_ = 0;
	bool keep_owner_ = false; // the old file's owner and group
	uid_t owner_ = 0;
	gid_t group_ = 0;
	FdBuffer buffer_;
	std::ostream stream_{&buffer_};
};
