#include "app/application.h"

int main(int argc, char *argv[])
{
    return vantor::app::run(argc, argv);
}
