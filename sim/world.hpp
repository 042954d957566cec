// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

/**
 * @file world.hpp
 * @brief Puts a Board in place at the driver's fixed paths.
 *
 * A World lives in a private mount namespace of the calling process: it
 * mounts fresh tmpfs instances over "/sys/bus", "/dev" and "/run" and fills
 * them from the Board, so the unmodified library finds the simulated driver
 * where it looks for the real one. Nothing outside the process (and its
 * children) sees any of it, and everything disappears with the process.
 *
 * Because entering the namespace changes the process for good, create a
 * World only in a process of its own, e.g. a forked test case.
 */
namespace fpga_sim
{

/** @brief Private namespaces cannot be had on this system (a reason to
 *         skip, not to fail). */
class NamespaceUnavailable : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/**
 * @brief Move the calling process into a private mount namespace.
 *
 * As root only the mount namespace is new; otherwise a user namespace that
 * maps the caller to root comes with it. All mounts are made private, so
 * nothing mounted afterwards reaches the parent namespace.
 * @throws NamespaceUnavailable when the kernel refuses the namespaces.
 * @throws std::system_error on any other failure.
 */
void enterPrivateNamespace();

/** @brief The first half of enterPrivateNamespace(): the namespaces alone,
 *         their mounts as they were shared. @throws as it does */
void unshareNamespaces();

/** @brief Mount an empty tmpfs (mode 0755) over @p dir. */
void mountTmpfs(const std::string& dir);

/** @brief Cover "/dev" with a tmpfs that holds only the host's /dev/null
 *         and the links /dev/fd, /dev/stdin, /dev/stdout and /dev/stderr.
 *  @throws std::system_error */
void mountMinimalDev();

/** @brief Write @p text to @p path, creating or truncating the file. */
void writeFile(const std::string& path, const std::string& text);

/** @brief The whole content of @p path. @throws std::system_error */
std::string readFile(const std::string& path);

/** @brief A materialised Board; see the file comment. */
class World
{
  public:
    /**
     * @brief Enter a private namespace and put @p board in place.
     * @throws NamespaceUnavailable, std::system_error
     */
    explicit World(Board board);

    World(const World&) = delete;
    World& operator=(const World&) = delete;

    /** @brief The description this world was built from. */
    const Board& board() const
    {
        return desc;
    }

    /**
     * @brief Full path of a file in the driver directory: the first of
     *        spi2.2 and spi2.0 that carries the wakeup mark now.
     * @throws std::logic_error when neither does (nothing is ever written
     *         outside the World's own mounts).
     */
    std::string attrPath(const std::string& name) const;

    /** @brief Create or replace a file in the driver directory. */
    void writeAttr(const std::string& name, const std::string& text);

    /** @brief Remove a file from the driver directory if it exists. */
    void removeAttr(const std::string& name);

    /** @brief Create (or remove) the "tavrin_fpga_wakeup" mark in @p dir,
     *         creating the directory when needed. */
    void setProbe(const std::string& dir, bool present);

    /** @brief Write register bytes into the node at @p path. */
    void poke(const std::string& path, std::uint64_t position,
              const std::vector<std::uint8_t>& values);

    /** @brief Read @p count register bytes of the node at @p path. */
    std::vector<std::uint8_t> peek(const std::string& path,
                                   std::uint64_t position,
                                   std::size_t count) const;

    /** @brief poke() by normal-mode register coordinates. */
    void pokeNormal(Location location, std::size_t index, std::size_t block,
                    std::size_t offset,
                    const std::vector<std::uint8_t>& values);

    /** @brief peek() by normal-mode register coordinates. */
    std::vector<std::uint8_t>
        peekNormal(Location location, std::size_t index, std::size_t block,
                   std::size_t offset, std::size_t count) const;

    /** @brief poke() by ADI-mode register coordinates. */
    void pokeAdi(Location location, std::size_t index, std::size_t block,
                 std::size_t offset, std::size_t page,
                 std::size_t pageDataOffset,
                 const std::vector<std::uint8_t>& values);

    /** @brief peek() by ADI-mode register coordinates. */
    std::vector<std::uint8_t>
        peekAdi(Location location, std::size_t index, std::size_t block,
                std::size_t offset, std::size_t page,
                std::size_t pageDataOffset, std::size_t count) const;

    /**
     * @brief Make a fresh, writable tmpfs the process's root directory.
     *
     * Every top-level directory of the old root is bound into it (with its
     * submounts, so the World's files stay in place) and top-level symbolic
     * links are copied. A file then created directly under "/" lands in the
     * tmpfs, where a test can see it, instead of in the host's root.
     * A World whose board has no probe directory does this by itself;
     * calling it again does nothing.
     */
    void enterPrivateRoot();

    /** @brief Current size of the node file at @p path. */
    std::uint64_t nodeSize(const std::string& path) const;

  private:
    void build();

    Board desc;
    bool privateRoot = false;
};

} // namespace fpga_sim
