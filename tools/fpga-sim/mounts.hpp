// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cerrno>
#include <set>
#include <string>
#include <vector>

/**
 * @file mounts.hpp
 * @brief fpga-sim's private mount namespace and the mounts it makes there.
 */
namespace fpga_sim
{

/** @brief Throw SetupError "@p what: strerror(@p error)". */
[[noreturn]] void setupFailed(const std::string& what, int error = errno);

/** @brief mkdir @p path (mode 0755); an existing directory is no error. */
void makeDir(const std::string& path);
/** @brief makeDir() of @p path and of every missing directory above it. */
void makeDirs(const std::string& path);
/** @brief Create an empty file at @p path (kept when it exists). */
void makeFile(const std::string& path);

/**
 * @brief Enter a private mount namespace (and a user namespace when not
 *        root), where nothing mounted reaches the host.
 *
 * All mounts are made private. In a chroot whose "/" is no mount point
 * (a plain directory entered with chroot), the mounts under it are made
 * private and Mounts refuses, with what to do, to mount on a directory
 * that lies on the root's own mount, whose propagation cannot be changed.
 * @throws SetupError
 */
void enterNamespace();

/**
 * @brief The mount points fpga-sim makes, each with why, detached in
 *        reverse order at the end.
 */
class Mounts
{
  public:
    /** Bind @p from on @p to (a path on a mount of fpga-sim's own). */
    void bind(const std::string& from, const std::string& to);
    /** Cover directory @p dir with an empty tmpfs (mode 0755); @p why
     *  names it in messages ("fpga-sim's /dev"). */
    void tmpfs(const std::string& dir, const std::string& why);
    /** Record a mount made at @p dir otherwise. */
    void added(const std::string& dir);

    /** What covers absolute path @p path inside: "DIR (WHY)", or "" when
     *  none of the directories covered leads there. */
    std::string covering(const std::string& path) const;

    /** Detach everything, so a process the command left behind finds no
     *  dead FUSE mount. */
    void detachAll();

  private:
    struct Mount
    {
        std::string dir;
        std::string why;
    };
    std::vector<Mount> made;
};

/**
 * @brief The deepest existing directory on the way to @p path, @p top at
 *        the least: a tmpfs over it hides what the host has there and
 *        nothing more (the SPI devices below /sys/bus, the journal's
 *        sockets below /run).
 * @throws SetupError when not even @p top exists
 */
std::string coverFor(const std::string& path, const std::string& top);

/**
 * @brief Cover "/dev" with a tmpfs and carry the host's entries over,
 *        except the names in @p served, which fpga-sim makes there; give
 *        "/dev/pts" a devpts instance of its own.
 */
void coverDev(Mounts& mounts, const std::set<std::string>& served);

} // namespace fpga_sim
