#include "platform/ui/Menu.h"

#include <algorithm>

namespace pallorwind::platform {

void Menu::Append(int id, std::string text, bool enabled) {
    MenuItem item;
    item.id = id;
    item.text = std::move(text);
    item.enabled = enabled;
    m_items.push_back(std::move(item));
}

void Menu::AppendSeparator() {
    MenuItem item;
    item.separator = true;
    m_items.push_back(std::move(item));
}

void Menu::InsertPopup(std::size_t position, std::string text, std::shared_ptr<Menu> submenu) {
    MenuItem item;
    item.text = std::move(text);
    item.submenu = std::move(submenu);
    m_items.insert(m_items.begin() + std::ptrdiff_t(std::min(position, m_items.size())),
                   std::move(item));
}

bool Menu::Delete(int id) {
    const auto it = std::find_if(m_items.begin(), m_items.end(), [id](const MenuItem& item) {
        return !item.separator && !item.submenu && item.id == id;
    });
    if (it == m_items.end())
        return false;
    m_items.erase(it);
    return true;
}

MenuItem* Menu::Find(int id) {
    for (MenuItem& item : m_items) {
        if (item.submenu) {
            if (MenuItem* found = item.submenu->Find(id))
                return found;
        } else if (!item.separator && item.id == id) {
            return &item;
        }
    }
    return nullptr;
}

const MenuItem* Menu::Find(int id) const {
    return const_cast<Menu*>(this)->Find(id);
}

std::string Menu::Text(int id) const {
    const MenuItem* item = Find(id);
    return item ? item->text : std::string();
}

void Menu::Check(int id, bool checked) {
    if (id == 0)
        return;
    if (MenuItem* item = Find(id))
        item->checked = checked;
}

} // namespace pallorwind::platform
