#pragma once

#include <gdcmDataSet.h>
#include <gdcmItem.h>
#include <gdcmSequenceOfItems.h>

#include <vector>

namespace quelby {

// `items` as the sequence `tag` of `data`, every length undefined as GDCM
// writes nested data sets most simply; for the writer module and the test series.
inline void putGdcmSequence(gdcm::DataSet& data, const gdcm::Tag& tag, const std::vector<gdcm::DataSet>& items)
{
    gdcm::SmartPointer<gdcm::SequenceOfItems> sequence = new gdcm::SequenceOfItems;
    sequence->SetLengthToUndefined();
    for (const gdcm::DataSet& nested : items) {
        gdcm::Item item;
        item.SetVLToUndefined();
        item.SetNestedDataSet(nested);
        sequence->AddItem(item);
    }
    gdcm::DataElement e(tag);
    e.SetVR(gdcm::VR::SQ);
    e.SetValue(*sequence);
    e.SetVLToUndefined();
    data.Replace(e);
}

}  // namespace quelby
