// Whole-file writes: writefile, and the streams whose bytes become a file's
// whole content when they end.  A replaced file is written to a temporary
// file and renamed, so a failure never leaves half a file.
#include "kernel/guest_args.h"
#include "kernel/kernel.h"

#include <cerrno>

namespace vekos {

Answer serve_writefile(Kernel& k, const Call& c)
{
    return with_path<Answer>(c.memory, c.regs.ebx, [&](const std::string& path) -> Answer {
        const uint32_t len = c.regs.edx;
        if (len > k.files().quota().file_bytes)
            return {-EFBIG};
        auto data = guest_bytes(c.memory, c.regs.ecx, len);
        if (!data)
            return {-EFAULT};
        int r = k.files().replace_file(path, data->bytes, 0);
        return {r < 0 ? r : int32_t(len)}; // len fits: the file limit is below 2 GiB
    });
}

Answer serve_vekfs_stream_begin(Kernel& k, const Call& c)
{
    return with_path<Answer>(c.memory, c.regs.ebx, [&](const std::string& path) -> Answer {
        auto& streams = k.files().streams();
        if (streams.size() >= Files::kMaxDescriptors)
            return {-EMFILE};
        const int32_t handle = k.files().next_stream();
        streams[handle] = WholeFileStream{k.files().fs().absolute(path), {}}; // fixed against a later chdir
        return {handle};
    });
}

Answer serve_vekfs_stream_write(Kernel& k, const Call& c)
{
    auto it = k.files().streams().find(int32_t(c.regs.ebx));
    if (it == k.files().streams().end())
        return {-EBADF};
    std::vector<uint8_t>& held = it->second.bytes;
    const uint32_t len = c.regs.edx;
    const uint64_t file_bytes = k.files().quota().file_bytes;
    if (len > file_bytes - std::min<uint64_t>(held.size(), file_bytes))
        return {-EFBIG};
    if (!k.files().reserve(len))
        return {-ENOSPC};
    if (!c.memory.accessible(c.regs.ecx, len, kRead)) {
        k.files().release(len);
        return {-EFAULT};
    }
    const size_t before = held.size();
    held.resize(before + len);
    c.memory.peek(c.regs.ecx, std::span<uint8_t>(held.data() + before, len));
    return {int32_t(len)};
}

Answer serve_vekfs_stream_end(Kernel& k, const Call& c)
{
    auto it = k.files().streams().find(int32_t(c.regs.ebx));
    if (it == k.files().streams().end())
        return {-EBADF};
    const WholeFileStream stream = std::move(it->second);
    k.files().streams().erase(it);
    // The held bytes were counted as they came; from here only the file's growth counts.
    int r = k.files().replace_file(stream.path, stream.bytes, stream.bytes.size());
    if (r < 0)
        k.files().release(stream.bytes.size());
    return {r};
}

} // namespace vekos
