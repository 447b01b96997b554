// Copies one file range by one method, for bench/copy-methods (Linux only):
//
//   copy_probe buffer <chunk bytes> <src> <dst> <src offset> <dst offset>
//   copy_probe kernel 0 <src> <dst> <src offset> <dst offset>
//
// "buffer" is the user-space loop of pread/pwrite through a zero-filled
// 32 MiB block in chunks of the given size; "kernel" is copy_file_range in
// steps of 1 GiB. The range is the source from <src offset> to its end,
// written to a new destination file at <dst offset>. Prints the bytes moved.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const size_t BLOCK = 32u << 20;
const size_t KERNEL_STEP = 1u << 30;

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

unsigned long long BufferCopy(int in, int out, off_t from, off_t to, off_t length, size_t chunk) {
  unsigned char* block = static_cast<unsigned char*>(std::calloc(1, BLOCK));
  if (block == nullptr) Die("calloc");
  off_t done = 0;
  while (done < length) {
    size_t want = length - done < static_cast<off_t>(chunk) ? length - done : chunk;
    ssize_t got = pread(in, block, want, from + done);
    if (got <= 0) Die("pread");
    if (pwrite(out, block, got, to + done) != got) Die("pwrite");
    done += got;
  }
  std::free(block);
  return done;
}

unsigned long long KernelCopy(int in, int out, off_t from, off_t to, off_t length) {
  off_t done = 0;
  while (done < length) {
    loff_t a = from + done, b = to + done;
    size_t want = length - done < static_cast<off_t>(KERNEL_STEP) ? length - done : KERNEL_STEP;
    ssize_t moved = copy_file_range(in, &a, out, &b, want, 0);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) Die("copy_file_range");
    done += moved;
  }
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s buffer|kernel <chunk> <src> <dst> <src off> <dst off>\n",
                 argv[0]);
    return 2;
  }
  size_t chunk = std::strtoull(argv[2], nullptr, 0);
  off_t from = std::strtoll(argv[5], nullptr, 0), to = std::strtoll(argv[6], nullptr, 0);
  int in = open(argv[3], O_RDONLY);
  if (in < 0) Die("open source");
  int out = open(argv[4], O_RDWR | O_CREAT | O_EXCL, 0644);
  if (out < 0) Die("open destination");
  struct stat st;
  if (fstat(in, &st) != 0) Die("fstat");
  off_t length = st.st_size - from;
  unsigned long long moved = std::strcmp(argv[1], "kernel") == 0
                                 ? KernelCopy(in, out, from, to, length)
                                 : BufferCopy(in, out, from, to, length, chunk);
  if (close(out) != 0) Die("close");
  close(in);
  std::printf("%llu\n", moved);
  return 0;
}
