// A portable popup menu: items with a command id, text, enabled and checked
// state, submenus and separators, addressed by position or by command id.
// The tray renders it; tests read it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace pallorwind::platform {

class Menu;

struct MenuItem {
    int id = 0;
    std::string text;
    bool enabled = true;
    bool checked = false;
    bool separator = false;
    std::shared_ptr<Menu> submenu;
};

class Menu {
public:
    void Append(int id, std::string text, bool enabled = true);
    void AppendSeparator();
    // Inserts before `position`; a position past the end appends.
    void InsertPopup(std::size_t position, std::string text, std::shared_ptr<Menu> submenu);
    // Deletes the item with command `id`; false when there is none.
    bool Delete(int id);

    // The first item with command `id`, searching submenus too; null if none.
    MenuItem* Find(int id);
    const MenuItem* Find(int id) const;
    // The text of the item with command `id`, "" when there is none.
    std::string Text(int id) const;
    // Sets the check mark of item `id`; id 0 or an unknown id changes nothing.
    void Check(int id, bool checked);

    const std::vector<MenuItem>& Items() const { return m_items; }
    std::vector<MenuItem>& Items() { return m_items; }

private:
    std::vector<MenuItem> m_items;
};

} // namespace pallorwind::platform
