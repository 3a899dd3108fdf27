#include "platform/atspi/AtspiApplicationFacts.h"

#include "platform/atspi/GlibHandles.h"

#include <string>
#include <unordered_map>

namespace {

// The facts of each bus name, kept to the end of the process like the thread
// that reads them.
template <typename T>
std::unordered_map<std::string, T>& factsOf()
{
    static auto& facts = *new std::unordered_map<std::string, T>;
    return facts;
}

std::optional<std::string> busNameOf(AtspiAccessible* accessible)
{
    const AtspiObject& object = accessible->parent;
    if (!object.app || !object.app->bus_name)
        return std::nullopt;
    return std::string(object.app->bus_name);
}

// The fact for `accessible`'s bus name, asked with `ask` the first time it
// answers.
template <typename T, typename Ask>
std::optional<T> remembered(std::unordered_map<std::string, T>& facts, AtspiAccessible* accessible, Ask ask)
{
    const auto busName = busNameOf(accessible);
    if (!busName)
        return std::nullopt;
    if (const auto found = facts.find(*busName); found != facts.end())
        return found->second;
    const std::optional<T> answer = ask();
    if (answer)
        facts.emplace(*busName, *answer);
    return answer;
}

struct Process
{
    qint64 pid;
};

struct Toolkit
{
    bool qt;
};

}

namespace AtspiApplicationFacts {

std::optional<qint64> processOf(AtspiAccessible* application)
{
    const auto process = remembered<Process>(factsOf<Process>(), application, [application]() -> std::optional<Process> {
        GErrorSlot error;
        const auto pid = qint64(atspi_accessible_get_process_id(application, error.out()));
        if (error)
            return std::nullopt;
        return Process{pid};
    });
    return process ? std::optional(process->pid) : std::nullopt;
}

std::optional<bool> isQt(AtspiAccessible* element)
{
    const auto toolkit = remembered<Toolkit>(factsOf<Toolkit>(), element, [element]() -> std::optional<Toolkit> {
        GErrorSlot error;
        GObjectRef<AtspiAccessible> application(atspi_accessible_get_application(element, error.out()));
        if (error || !application.get())
            return std::nullopt;
        GErrorSlot nameError;
        GFreeText name{atspi_accessible_get_toolkit_name(application.get(), nameError.out())};
        if (nameError)
            return std::nullopt;
        return Toolkit{name.text && g_ascii_strcasecmp(name.text, "Qt") == 0};
    });
    return toolkit ? std::optional(toolkit->qt) : std::nullopt;
}

}
