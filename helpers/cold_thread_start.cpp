// cold-thread-start: the processor time, in clock(3) ticks, from just before
// this process creates one thread until that thread's first action. It is
// thread-start-time without the first line, so the difference between the
// two is what writing that line costs.

#include <pthread.h>

#include <cstdio>
#include <ctime>

namespace
{

std::clock_t start_reading;
std::clock_t end_reading;

void *take_end_reading(void * /*arg*/)
{
	end_reading = std::clock();
	return nullptr;
}

} // namespace

int main()
{
	start_reading = std::clock();
	pthread_t thread{};
	const int created =
	    pthread_create(&thread, nullptr, take_end_reading, nullptr);
	if (created != 0)
		return created;
	const int joined = pthread_join(thread, nullptr);
	if (joined != 0)
		return joined;
	std::printf("%ld\n", end_reading - start_reading);
	return std::fclose(stdout) == 0 ? 0 : 1;
}
