#include "qa/MeasureProgram.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    return quelby::runMeasure(std::vector<std::string>(argv, argv + argc), std::cout, std::cerr);
}
