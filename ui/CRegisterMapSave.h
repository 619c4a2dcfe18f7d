#pragma once

class QWidget;

// The window's way to the register map: asks where to write it, writes it and
// says how that went.
class CRegisterMapSave
{
public:
    static void ask(QWidget* parent);
};
