#include "app/consective_method.h"

#include <QApplication>

int main(int, char* argv[])
{
    // The program takes no arguments: the toolkit sees the program name alone.
    int count = 1;
    QApplication application(count, argv);
    quelby::TForm1 form;
    form.show();
    return application.exec();
}
