// Stands in for git where the real one cannot run (under Wine). It records each call (stand_in.h) and
// plays a repository kept as a folder: REPO/refs/NAME holds the commit of the branch or tag NAME.
//   clone --progress --branch REF REPO DEST   DEST/.git made first, then REF's commit checked out
//   -C DIR fetch ... origin REF               REF's commit fetched (a "refs/tags/T:refs/tags/T" refspec: T)
//   -C DIR reset --hard REF                   checks out the fetched commit of REF or "origin/" + REF
//   -C DIR rev-parse HEAD | origin/REF        prints the checked-out or fetched commit
//   -C DIR submodule ...                      prints a line
// A checkout holds DIR/.git/origin (the repository), DIR/.git/head (the commit), DIR/.git/fetched-NAME and
// DIR/checkout.txt ("REF COMMIT").
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

}  // namespace

int main(int argc, char** argv) {
    Binary();
    std::vector<std::string> args = Arguments(argc, argv);
    Record(args);
    args.erase(args.begin());
    fs::path dir = fs::current_path();
    if (args.size() >= 2 && args[0] == "-C") {
        dir = PathOf(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return 1;
    const std::string verb = args[0];
    const fs::path git = dir / ".git";

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
        return 0;
    }
    const int code = Control(verb);
    if (code >= 0) return code;
    std::error_code ec;
    if (!fs::exists(git, ec)) {
        Print("fatal: not a git repository\n");
        return 128;
    }
    if (verb == "fetch") {
        return Fetch(git, RefName(args.back())) ? 0 : 128;
    }
    if (verb == "reset") {
        const std::string ref = RefName(args.back());
        if (!fs::exists(git / PathOf("fetched-" + ref), ec)) return 128;
        CheckOut(dir, ref, ReadText(git / PathOf("fetched-" + ref)));
        return 0;
    }
    if (verb == "rev-parse") {
        const std::string name = args.back();
        const fs::path file = name == "HEAD" ? git / "head" : git / PathOf("fetched-" + RefName(name));
        if (!fs::exists(file, ec)) return 128;
        Print(ReadText(file) + "\n");
        return 0;
    }
    if (verb == "submodule") {
        Print("Submodule path 'lib': checked out\n");
        return 0;
    }
    return 1;
}
