#define FUSE_USE_VERSION 31
#include "tools/usbclient/fuse_disk.h"

#include <fuse.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace usbclient {
namespace {

FuseDisk& self() { return *static_cast<FuseDisk*>(fuse_get_context()->private_data); }

int opGetattr(const char* path, struct stat* st, fuse_file_info*) { return self().getattr(path, st); }

int opReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, self().fileName().c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int opOpen(const char* path, fuse_file_info*) { return self().open(path); }

int opRead(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
  return self().read(path, buf, size, offset);
}

int opWrite(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info*) {
  return self().write(path, buf, size, offset);
}

int opFsync(const char* path, int, fuse_file_info*) { return self().fsync(path); }

int opTruncate(const char* path, off_t size, fuse_file_info*) {
  // The file is the disk: its size cannot change. Opening with O_TRUNC to
  // overwrite it in place is allowed.
  struct stat st;
  int rc = self().getattr(path, &st);
  if (rc != 0) return rc;
  return size == st.st_size ? 0 : -EINVAL;
}

void* opInit(fuse_conn_info*, fuse_config* cfg) {
  // Sizes never change behind the kernel's back, and attribute queries need
  // no round trip to the device.
  cfg->attr_timeout = 3600;
  cfg->entry_timeout = 3600;
  return fuse_get_context()->private_data;
}

fuse_operations makeOperations() {
  fuse_operations ops{};
  ops.getattr = opGetattr;
  ops.readdir = opReaddir;
  ops.open = opOpen;
  ops.read = opRead;
  ops.write = opWrite;
  ops.fsync = opFsync;
  ops.truncate = opTruncate;
  ops.init = opInit;
  return ops;
}

struct FuseFree {
  void operator()(fuse* f) const { fuse_destroy(f); }
};

}  // namespace

FuseDisk::FuseDisk(DiskImage& image, BlockDevice& device, std::mutex& deviceLock,
                   std::string fileName)
    : image_(image), device_(device), lock_(deviceLock), fileName_(std::move(fileName)),
      filePath_("/" + fileName_) {}

bool FuseDisk::isFile(const char* path) const { return filePath_ == path; }

int FuseDisk::getattr(const char* path, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (!isFile(path)) return -ENOENT;
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  // The capacity is fixed once the device started: no lock needed.
  st->st_size = static_cast<off_t>(image_.size());
  st->st_blksize = device_.blockSize();
  st->st_blocks = static_cast<blkcnt_t>(image_.size() / 512);
  return 0;
}

int FuseDisk::open(const char* path) { return isFile(path) ? 0 : -ENOENT; }

int FuseDisk::read(const char* path, char* buf, size_t size, off_t offset) {
  if (!isFile(path)) return -ENOENT;
  if (offset < 0) return -EINVAL;
  std::lock_guard<std::mutex> g(lock_);
  long n = image_.read(static_cast<uint64_t>(offset), size, reinterpret_cast<uint8_t*>(buf));
  return n < 0 ? -EIO : static_cast<int>(n);
}

int FuseDisk::write(const char* path, const char* buf, size_t size, off_t offset) {
  if (!isFile(path)) return -ENOENT;
  if (offset < 0) return -EINVAL;
  std::lock_guard<std::mutex> g(lock_);
  if (static_cast<uint64_t>(offset) >= image_.size() && size > 0) return -ENOSPC;
  long n = image_.write(static_cast<uint64_t>(offset), size, reinterpret_cast<const uint8_t*>(buf));
  return n < 0 ? -EIO : static_cast<int>(n);
}

int FuseDisk::fsync(const char* path) {
  if (!isFile(path)) return -ENOENT;
  std::lock_guard<std::mutex> g(lock_);
  return device_.flush() == 0 ? 0 : -EIO;
}

int FuseDisk::serve(const std::string& mountpoint, const std::vector<std::string>& options) {
  std::vector<std::string> argvText{"usbclient"};
  for (const std::string& o : options) {
    argvText.push_back("-o");
    argvText.push_back(o);
  }
  std::vector<char*> argv;
  for (std::string& s : argvText) argv.push_back(s.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  static const fuse_operations ops = makeOperations();
  std::unique_ptr<fuse, FuseFree> f(fuse_new(&args, &ops, sizeof ops, this));
  fuse_opt_free_args(&args);
  if (!f) return 1;
  if (fuse_mount(f.get(), mountpoint.c_str()) != 0) return 1;
  fuse_session* session = fuse_get_session(f.get());
  int rc = 1;
  if (fuse_set_signal_handlers(session) == 0) {
    // One request at a time: the device serves one SCSI command at a time.
    rc = fuse_loop(f.get());
    fuse_remove_signal_handlers(session);
  }
  fuse_unmount(f.get());
  return rc == 0 ? 0 : 1;
}

}  // namespace usbclient
