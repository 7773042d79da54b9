// Stands in for git where the real one cannot run (under Wine). It records each call (stand_in.h) and
// plays a repository kept as a folder: REPO/refs/NAME holds the commit of the branch or tag NAME, and
// REPO/submodules, when it is there, one line "NAME PATH" per submodule.
//   clone --progress --branch REF REPO DEST   DEST/.git made first, then REF's commit checked out and
//                                             REPO/submodules copied to DEST/.gitmodules
//   -C DIR fetch ... origin REF               REF's commit fetched (a "refs/tags/T:refs/tags/T" refspec: T)
//   -C DIR reset --hard REF                   checks out the fetched commit of REF or "origin/" + REF,
//                                             holding DIR/.git/index.lock meanwhile; a lock already there
//                                             fails it, as it fails git
//   -C DIR rev-parse HEAD | origin/REF        prints the checked-out or fetched commit
//   ls-remote REPO refs/heads/REF             prints REF's commit, a tab and the ref; nothing without it
//   --git-dir=D rev-parse ... HEAD            prints D/head's commit; fails without one
//   --git-dir=D config --get remote.origin.url
//                                             prints D/origin; fails without one
//   -C DIR config --file .gitmodules --name-only --get-regexp PATTERN
//                                             prints "submodule.NAME.path" for each submodule
//   -C DIR config --file .gitmodules --get submodule.NAME.path
//                                             prints the submodule's PATH
//   -C DIR submodule ...                      for each submodule makes DIR/.git/modules/NAME, then DIR/PATH
//                                             with its files and the module's head; a module folder without
//                                             a head (a clone cut short) fails it, as it fails git
// A checkout holds DIR/.git/origin (the repository), DIR/.git/head (the commit), DIR/.git/fetched-NAME and
// DIR/checkout.txt ("REF COMMIT"). The control point of clone is after "Cloning into", of reset while the
// lock is held, of submodule once the first module folder is made; of every other verb at its start.
#include <sstream>

#include "stand_in.h"

namespace {

using namespace stand_in;

// The ref's name as stored in the repository folder.
std::string RefName(std::string ref) {
    const size_t colon = ref.find(':');
    if (colon != std::string::npos) ref = ref.substr(0, colon);
    for (const char* prefix : {"refs/tags/", "refs/heads/", "origin/"}) {
        const std::string p = prefix;
        if (ref.rfind(p, 0) == 0) ref = ref.substr(p.size());
    }
    return ref;
}

bool Fetch(const fs::path& git, const std::string& ref) {
    const fs::path repo = PathOf(ReadText(git / "origin"));
    std::error_code ec;
    if (!fs::exists(repo / "refs" / PathOf(ref), ec)) {
        Print("fatal: couldn't find remote ref " + ref + "\n");
        return false;
    }
    WriteText(git / PathOf("fetched-" + ref), ReadText(repo / "refs" / PathOf(ref)));
    return true;
}

void CheckOut(const fs::path& dir, const std::string& ref, const std::string& commit) {
    WriteText(dir / ".git" / "head", commit);
    WriteText(dir / "checkout.txt", ref + " " + commit);
}

struct Module {
    std::string name, path;
};

std::vector<Module> Modules(const fs::path& dir) {
    std::vector<Module> modules;
    std::istringstream lines(ReadText(dir / ".gitmodules"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        Module module;
        if (words >> module.name >> module.path) modules.push_back(module);
    }
    return modules;
}

int UpdateSubmodules(const fs::path& dir) {
    std::error_code ec;
    bool first = true;
    for (const Module& module : Modules(dir)) {
        const fs::path gitDir = dir / ".git" / "modules" / PathOf(module.name);
        if (fs::exists(gitDir, ec) && !fs::exists(gitDir / "head", ec)) {
            Print("fatal: Unable to find current revision in submodule path '" + module.path + "'\n");
            return 1;
        }
        fs::create_directories(gitDir, ec);
        if (first) {
            const int code = Control("submodule");
            if (code >= 0) return code;
            first = false;
        }
        WriteText(dir / PathOf(module.path) / ".git", "gitdir: " + TextOf(gitDir) + "\n");
        WriteText(dir / PathOf(module.path) / "module.txt", module.name);
        WriteText(gitDir / "head", "module-commit");
        Print("Submodule path '" + module.path + "': checked out 'module-commit'\n");
    }
    if (!first) return 0;
    const int code = Control("submodule");
    return code >= 0 ? code : 0;
}

int Config(const fs::path& dir, const fs::path& git, const std::vector<std::string>& args) {
    if (args.size() == 3 && args[1] == "--get" && args[2] == "remote.origin.url") {
        std::error_code ec;
        if (!fs::exists(git / "origin", ec)) return 1;
        Print(ReadText(git / "origin") + "\n");
        return 0;
    }
    if (args.size() < 4 || args[1] != "--file" || args[2] != ".gitmodules") return 2;
    const std::vector<Module> modules = Modules(dir);
    if (modules.empty()) return 1;
    if (args[3] == "--name-only") {
        for (const Module& module : modules) Print("submodule." + module.name + ".path\n");
        return 0;
    }
    if (args[3] == "--get" && args.size() == 5) {
        for (const Module& module : modules) {
            if (args[4] == "submodule." + module.name + ".path") {
                Print(module.path + "\n");
                return 0;
            }
        }
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Binary();
    std::vector<std::string> args = Arguments(argc, argv);
    Record(args);
    args.erase(args.begin());
    fs::path dir = fs::current_path();
    fs::path gitDir;
    if (args.size() >= 2 && args[0] == "-C") {
        dir = PathOf(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    } else if (!args.empty() && args[0].rfind("--git-dir=", 0) == 0) {
        gitDir = PathOf(args[0].substr(10));
        args.erase(args.begin());
    }
    if (args.empty()) return 1;
    const std::string verb = args[0];
    const fs::path git = gitDir.empty() ? dir / ".git" : gitDir;
    std::error_code ec;

    if (verb == "clone") {
        if (args.size() != 6) return 2;
        const std::string ref = args[3];
        const fs::path dest = PathOf(args[5]);
        WriteText(dest / ".git" / "origin", args[4]);
        Print("Cloning into '" + args[5] + "'...\n");
        const int code = Control(verb);
        if (code >= 0) return code;
        Print("Receiving objects:  50% (1/2)\rReceiving objects: 100% (2/2), done.\n");
        Print("Resolving deltas: 100% (1/1), done.\n");
        if (!Fetch(dest / ".git", ref)) return 128;
        CheckOut(dest, ref, ReadText(dest / ".git" / PathOf("fetched-" + ref)));
        const fs::path submodules = PathOf(args[4]) / "submodules";
        if (fs::exists(submodules, ec)) WriteText(dest / ".gitmodules", ReadText(submodules));
        return 0;
    }
    if (verb == "ls-remote") {
        const int code = Control(verb);
        if (code >= 0) return code;
        if (args.size() != 3) return 2;
        const fs::path ref = PathOf(args[1]) / "refs" / PathOf(RefName(args[2]));
        if (fs::exists(ref, ec)) Print(ReadText(ref) + "\t" + args[2] + "\n");
        return 0;
    }
    if (!fs::exists(git, ec)) {
        Print("fatal: not a git repository\n");
        return 128;
    }
    if (verb == "reset") {
        const fs::path lock = git / "index.lock";
        if (fs::exists(lock, ec)) {
            Print("fatal: Unable to create '" + TextOf(lock) + "': File exists.\n");
            return 128;
        }
        WriteText(lock, "");
        const int code = Control(verb);
        if (code < 0) {
            const std::string ref = RefName(args.back());
            if (!fs::exists(git / PathOf("fetched-" + ref), ec)) {
                fs::remove(lock, ec);
                return 128;
            }
            CheckOut(dir, ref, ReadText(git / PathOf("fetched-" + ref)));
        }
        fs::remove(lock, ec);
        return code < 0 ? 0 : code;
    }
    if (verb == "submodule") return UpdateSubmodules(dir);
    const int code = Control(verb);
    if (code >= 0) return code;
    if (verb == "fetch") {
        return Fetch(git, RefName(args.back())) ? 0 : 128;
    }
    if (verb == "rev-parse") {
        std::string name = args.back();
        // "HEAD^{tree}" and the like: the object named is there when the commit is.
        if (name.find("^{") != std::string::npos) name = name.substr(0, name.find("^{"));
        const fs::path file = name == "HEAD" ? git / "head" : git / PathOf("fetched-" + RefName(name));
        if (!fs::exists(file, ec)) return 128;
        Print(ReadText(file) + "\n");
        return 0;
    }
    if (verb == "config") return Config(dir, git, args);
    return 1;
}
