#pragma once

#include <boost/property_tree/ptree.hpp>

#include "TxnReminderDefines.h"

// A configuration object that the setup screens exchange as a property tree.
// GetPtree writes the object into the tree, SetPtree reads it back; both
// report failure by returning false after logging one line.
class TXNREMINDER_API IPtreeManager {
public:
    virtual bool GetPtree(boost::property_tree::ptree& tree) = 0;
    virtual bool SetPtree(const boost::property_tree::ptree& tree) = 0;
    virtual ~IPtreeManager();
};
