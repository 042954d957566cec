// SPDX-License-Identifier: Apache-2.0
#include "errors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <utility>

namespace fpgatool
{
namespace
{

using tavrin_fpga::devAttrFilePath;

/** The attribute path, or "" when even the directory probe fails. */
std::string attributePath(const std::string& attr, const Fpga& fpga)
{
    try
    {
        return devAttrFilePath(attr, fpga.location, fpga.index);
    }
    catch (const std::exception&)
    {
        return "";
    }
}

std::optional<Fpga> fpgaOf(const Context& context)
{
    if (!context.chip)
    {
        return std::nullopt;
    }
    try
    {
        return resolve(*context.chip);
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}

std::string notDetected(const Context& context)
{
    const auto fpga = fpgaOf(context);
    if (!fpga)
    {
        return "the chip is not detected";
    }
    return fpgaName(*fpga) + " is not detected (see " +
           attributePath("detected", *fpga) + ")";
}

/** Why an HPM access was refused: the block is not in the HPM FPGA's set
 *  (for an interface version without block table, see hpmVersionNote()). */
std::string notAvailable(const Context& context)
{
    const auto fpga = fpgaOf(context);
    if (!context.chip || context.chip->kind != Chip::Kind::hpm || !fpga)
    {
        return "an argument is out of range";
    }
    const std::string name = fpgaName(*fpga);
    const std::string block =
        context.address ? "block " + std::to_string(context.address->block)
                        : "the block";
    return block + " is not available on the HPM FPGA " + name + " (see " +
           attributePath("blocks", *fpga) + ")";
}

/** The node does not open, or the block is disabled: open the node the
 *  way the library does (read and write) to tell which. */
std::string nodeOrBlock(const Context& context)
{
    const auto fpga = fpgaOf(context);
    if (!fpga)
    {
        return "a block is disabled or a device node does not open";
    }
    const Address address = context.address.value_or(Address{});
    if (std::string problem = openProblem(nodePath(*fpga, address), O_RDWR,
                                          "is the FPGA driver loaded?");
        !problem.empty())
    {
        return problem;
    }
    const std::string where = " on " + fpgaName(*fpga) + " (see " +
                              attributePath("blocks", *fpga) + ")";
    if (!context.address)
    {
        return "a block it needs is disabled" + where;
    }
    return "block " + std::to_string(address.block) + " is disabled" + where;
}

std::string platformType()
{
    return std::to_string(tavrin_fpga::getPlatformType());
}

using Explain = std::function<std::string(const Context&)>;

/** Meanings of a result code for one call, before the general ones. */
const std::map<std::pair<std::string, int>, Explain> callMeanings = {
    {{"getThermals", -EIO},
     [](const Context&) {
         return "the thermal block does not offer ADI mode, or a read ended "
                "early";
     }},
    {{"getPlatform", -ENODATA},
     [](const Context&) {
         return "platform type " + platformType() +
                " has no fan information (types 4, 5 and 6 have)";
     }},
    {{"getPlatDevPresence", -ENODATA},
     [](const Context&) {
         return "platform type " + platformType() +
                " has no presence bits (types 0 and 1 have)";
     }},
    {{"getHPMLocation", ENOENT},
     [](const Context&) {
         return std::string(driverDirectory().empty()
                                ? "the driver's sysfs directory is not found"
                                : "the driver does not name the HPM FPGA") +
                "; the library uses the local FPGA";
     }},
};

/** General meanings of the library's result codes. */
const std::map<int, Explain> meanings = {
    {-ENODEV, notDetected},
    {-EINVAL, notAvailable},
    {-EFAULT, nodeOrBlock},
    {-EIO,
     [](const Context&) {
         return "I/O error, or the read ended before all bytes came";
     }},
    {-ENODATA,
     [](const Context&) {
         return "platform type " + platformType() + " does not offer this";
     }},
};

std::string explainResult(const std::string& call, int result,
                          const Context& context)
{
    if (auto it = callMeanings.find({call, result}); it != callMeanings.end())
    {
        return it->second(context);
    }
    if (auto it = meanings.find(result); it != meanings.end())
    {
        return it->second(context);
    }
    return std::strerror(result < 0 ? -result : result);
}

/** A note for every failed HPM access when the HPM FPGA's interface
 *  version has no block table, so that every block is read as block 0. */
std::string hpmVersionNote(const Context& context)
{
    const auto fpga = fpgaOf(context);
    if (!context.chip || context.chip->kind != Chip::Kind::hpm || !fpga)
    {
        return "";
    }
    const std::uint32_t version =
        tavrin_fpga::getIfaceVer(fpga->location, fpga->index);
    if (version == 2 || version == 3)
    {
        return "";
    }
    return " (the HPM FPGA " + fpgaName(*fpga) + " reports interface version " +
           std::to_string(version) +
           ", which has no block table: the library reads block 0 instead)";
}

/** The explanation looks at the driver again; if that throws, the plain
 *  meaning of the code has to do. */
std::string explain(const std::string& call, int result, const Context& context)
{
    try
    {
        return explainResult(call, result, context) + hpmVersionNote(context);
    }
    catch (const std::exception&)
    {
        return std::strerror(result < 0 ? -result : result);
    }
}

} // namespace

Failure::Failure(std::string call, int code, const std::string& message) :
    std::runtime_error(message), callName(std::move(call)), result(code)
{}

nlohmann::ordered_json Failure::toJson() const
{
    nlohmann::ordered_json error = {{"call", callName}};
    if (result != 0)
    {
        error["code"] = result;
        error["errno"] = errnoName(result < 0 ? -result : result);
    }
    else
    {
        error["code"] = nullptr;
        error["errno"] = nullptr;
    }
    error["message"] = what();
    return error;
}

std::string errnoName(int value)
{
    const char* name = ::strerrorname_np(value);
    return name != nullptr ? name : "errno " + std::to_string(value);
}

Failure resultFailure(const std::string& call, int result,
                      const Context& context)
{
    const int error = result < 0 ? -result : result;
    return Failure(call, result,
                   call + ": " + std::to_string(result) + " (" +
                       errnoName(error) +
                       "): " + explain(call, result, context));
}

void check(const std::string& call, int result, const Context& context)
{
    if (result != 0)
    {
        throw resultFailure(call, result, context);
    }
}

Failure exceptionFailure(const std::string& call, const std::exception& error,
                         const Context& context)
{
    const std::string what = error.what();
    std::string message;
    if (dynamic_cast<const std::filesystem::filesystem_error*>(&error))
    {
        message = "cannot probe the driver's sysfs directory: " + what;
    }
    else if (what.find("stoi") != std::string::npos)
    {
        std::string path = "tavrin_fpga_hpm_chip";
        try
        {
            path = driverDirectory() + "/" + path;
        }
        catch (const std::exception&)
        {}
        message = "malformed HPM attribute " + path +
                  " (\"remote\" without an index; " + what + ")";
    }
    else
    {
        const auto fpga = fpgaOf(context);
        message = "malformed \"blocks\" attribute";
        if (fpga)
        {
            message += " " + attributePath("blocks", *fpga);
        }
        message += " (a character other than 0 and 1; " + what + ")";
    }
    return Failure(call, 0, call + ": " + message);
}

std::string openProblem(const std::string& path, int flags,
                        const std::string& missing)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0)
    {
        ::close(fd);
        return "";
    }
    const int error = errno;
    const std::string problem = path + ": " + std::strerror(error);
    const bool readWrite = flags == O_RDWR;
    switch (error)
    {
        case ENOENT:
            return problem + "; " + missing;
        case EACCES:
        case EPERM:
            if (::geteuid() == 0)
            {
                return problem + "; the driver refuses it even to root";
            }
            return problem + "; run fpgatool as root, or have " +
                   (readWrite ? "read-write" : "write") +
                   " access to it granted (its owner, group and mode decide)";
        case EROFS:
            return problem +
                   "; it is read-only, and the library opens it for " +
                   (readWrite ? "reading and writing" : "writing");
        default:
            return problem;
    }
}

std::string driverDirectory()
{
    // The library builds every attribute path from its directory; the local
    // "detected" attribute shows which one it found.
    const std::string path = devAttrFilePath("detected", Location::local, 0);
    return path.substr(0, path.rfind('/'));
}

} // namespace fpgatool
