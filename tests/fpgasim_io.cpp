// SPDX-License-Identifier: Apache-2.0
// fpgasim-io: file operations for the simulator tests, run inside fpga-sim.
//
//     fpgasim-io OP [OP...]
//
// Each OP is one argument, its fields separated by spaces; each prints one
// line: the bytes read in hex, "ok", or "error ENAME".
//
//     "r PATH POS LEN"   open read-write, pread LEN bytes at POS (one call)
//     "w PATH POS HEX"   open read-write, pwrite the bytes at POS (one call)
//     "o PATH r|rw"      open read-only or read-write
//     "s PATH POS"       open read-write and lseek to POS
//     "t PATH"           the text of PATH, newlines written as \n
//     "a PATH TEXT"      write TEXT to PATH in one write (an attribute)
//     "e PATH"           whether PATH exists: "yes" or "no"

#include "sim/board_json.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace
{

std::string failure()
{
    return "error " + fpga_sim::errnoName(errno);
}

std::string hexOf(const std::vector<unsigned char>& bytes)
{
    std::string out;
    char digits[4];
    for (unsigned char byte : bytes)
    {
        std::snprintf(digits, sizeof(digits), "%02x", byte);
        out += out.empty() ? "" : " ";
        out += digits;
    }
    return out;
}

std::string run(const std::string& op)
{
    std::istringstream in(op);
    std::string kind;
    std::string path;
    in >> kind >> path;
    if (kind == "e")
    {
        return ::access(path.c_str(), F_OK) == 0 ? "yes" : "no";
    }
    if (kind == "t")
    {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0)
        {
            return failure();
        }
        std::string text(4096, '\0');
        const ssize_t got = ::read(fd, text.data(), text.size());
        ::close(fd);
        if (got < 0)
        {
            return failure();
        }
        text.resize(static_cast<std::size_t>(got));
        std::string line;
        for (char c : text)
        {
            line += c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        return line;
    }
    if (kind == "a")
    {
        std::string text;
        in >> text;
        const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0)
        {
            return failure();
        }
        const ssize_t done = ::write(fd, text.data(), text.size());
        const std::string result = done < 0 ? failure() : "ok";
        ::close(fd);
        return result;
    }
    if (kind == "o")
    {
        std::string mode;
        in >> mode;
        const int fd = ::open(path.c_str(), mode == "r" ? O_RDONLY : O_RDWR);
        if (fd < 0)
        {
            return failure();
        }
        ::close(fd);
        return "ok";
    }
    std::string posText;
    in >> posText;
    const off_t pos = static_cast<off_t>(std::stoull(posText, nullptr, 0));
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0)
    {
        return failure();
    }
    std::string result;
    if (kind == "s")
    {
        result = ::lseek(fd, pos, SEEK_SET) == pos ? "ok" : failure();
    }
    else if (kind == "r")
    {
        std::size_t length = 0;
        in >> length;
        std::vector<unsigned char> bytes(length);
        const ssize_t got = ::pread(fd, bytes.data(), length, pos);
        bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        result = got < 0 ? failure() : hexOf(bytes);
    }
    else if (kind == "w")
    {
        std::vector<unsigned char> bytes;
        std::string byte;
        while (in >> byte)
        {
            bytes.push_back(
                static_cast<unsigned char>(std::stoul(byte, nullptr, 16)));
        }
        const ssize_t done = ::pwrite(fd, bytes.data(), bytes.size(), pos);
        result = done < 0 ? failure() : "ok " + std::to_string(done);
    }
    else
    {
        result = "bad op " + kind;
    }
    ::close(fd);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        std::printf("%s\n", run(argv[i]).c_str());
    }
    return 0;
}
