#include "store/CacheDump.h"

#include "store/VariableStore.h"

namespace pontivo {

std::string CacheDumpText(const VariableStore& store)
{
    std::string text = std::to_string(store.Count());
    text += " variables cached.\r\n\r\n";

    std::size_t size = text.size();
    store.ForEach([&size](const std::string& name, const std::string& value) {
        size += name.size() + value.size() + 5;
    });
    text.reserve(size);

    store.ForEach([&text](const std::string& name, const std::string& value) {
        text += name;
        text += " = ";
        text += value;
        text += "\r\n";
    });
    return text;
}

} // namespace pontivo
