// The owner of one descriptor: every descriptor the service opens is closed on every way out.
#ifndef DODODUZOD_FILEDESCRIPTOR_H
#define DODODUZOD_FILEDESCRIPTOR_H

// Closes its descriptor when it goes, keeping errno for the caller that reports the step
// that failed.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void Reset();
    // Hands the descriptor to a new owner, such as a stdio stream.
    int Release();

  private:
    int fd_;
};

#endif
