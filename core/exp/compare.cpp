#include "core/exp/compare.h"

namespace tolvane::exp {
namespace {

// How open an access is: public above protected above package.
int openness(unsigned flags)
{
    return (flags & accPublic) != 0 ? 2 : (flags & accProtected) != 0 ? 1 : 0;
}

const char* accessName(unsigned flags)
{
    return (flags & accPublic) != 0 ? "public" : (flags & accProtected) != 0 ? "protected" : "package";
}

const Member* named(const std::vector<Member>& members, const std::string& name, const std::string& descriptor)
{
    for (const auto& member : members)
        if (member.name == name && member.descriptor == descriptor)
            return &member;
    return nullptr;
}

class Comparison {
public:
    Comparison(const ExportFile& older, const ExportFile& newer) : old_(older), new_(newer) {}

    std::vector<std::string> run()
    {
        const PackageId &o = old_.package, &n = new_.package;
        if (o.aid != n.aid || o.name != n.name)
            say("the new file is of another package: " + n.text() + ", not " + o.text());
        if (n.major != o.major)
            say("the major version changed from " + std::to_string(o.major) + " to " + std::to_string(n.major) +
                ": packages linked to " + o.text() + " cannot link to it");
        else if (n.minor <= o.minor)
            say("the minor version is " + std::to_string(n.minor) + ", not higher than " + std::to_string(o.minor));
        for (const auto& cls : old_.classes)
            compareClass(cls);
        return std::move(breaks_);
    }

private:
    void say(std::string line) { breaks_.push_back(std::move(line)); }

    void compareClass(const Class& was)
    {
        const std::string name = dotted(was.name);
        const Class* is = new_.classByName(was.name);
        if (is == nullptr)
            return say(name + " is gone");
        if (is->token != was.token)
            say(name + " has token " + std::to_string(is->token) + ", not " + std::to_string(was.token));
        if (is->isInterface() != was.isInterface())
            say(name + " was " + (was.isInterface() ? "an interface" : "a class") + " and is now " +
                (is->isInterface() ? "an interface" : "a class"));
        if (openness(is->flags) < openness(was.flags))
            say(name + " was " + accessName(was.flags) + " and is now " + accessName(is->flags));
        if (is->isFinal() && !was.isFinal())
            say(name + " is final now");
        for (const auto& field : was.fields)
            compareMember(name, field, is->fields, true);
        for (const auto& method : was.methods)
            compareMember(name, method, is->methods, false);
        // A method added to an interface is one every class that implements
        // it lacks.
        if (was.isInterface() && is->isInterface())
            for (const auto& method : is->methods)
                if (named(was.methods, method.name, method.descriptor) == nullptr)
                    say(name + "." + method.name + method.descriptor + " is added to an interface");
    }

    void compareMember(const std::string& owner, const Member& was, const std::vector<Member>& now, bool field)
    {
        const std::string name = owner + "." + was.name + (field ? ":" : "") + was.descriptor;
        const Member* is = named(now, was.name, was.descriptor);
        if (is == nullptr)
            return say(name + " is gone, or its type changed");
        if (was.value) {
            // A compile-time constant is copied into what uses it.
            if (is->value != was.value)
                say(name + " is a constant whose value changed from " + std::to_string(*was.value) + " to " +
                    (is->value ? std::to_string(*is->value) : std::string("none")));
            return;
        }
        if (is->token != was.token)
            say(name + " has token " + std::to_string(is->token) + ", not " + std::to_string(was.token));
        if (is->isStatic() != was.isStatic())
            say(name + " was " + (was.isStatic() ? "static" : "not static") + " and is now " +
                (is->isStatic() ? "static" : "not static"));
        if (openness(is->flags) < openness(was.flags))
            say(name + " was " + accessName(was.flags) + " and is now " + accessName(is->flags));
        if ((is->flags & accFinal) != 0 && (was.flags & accFinal) == 0)
            say(name + " is final now");
    }

    const ExportFile& old_;
    const ExportFile& new_;
    std::vector<std::string> breaks_;
};

} // namespace

std::vector<std::string> replacementBreaks(const ExportFile& older, const ExportFile& newer)
{
    return Comparison(older, newer).run();
}

} // namespace tolvane::exp
