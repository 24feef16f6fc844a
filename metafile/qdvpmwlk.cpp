// Walks of the data model for tasks that do not hold the list locks themselves: a snapshot of
// an application's tables, a table's first source (the model source whose attributes the others
// copy), and a source's node name. Each takes the lock that guards what it reads and lets go
// before it returns, so a caller may go on to take locks that come earlier in the order
// (include/qdvp_anchor.h). The tables and sources returned stay while their application does.
#include <string>
#include <vector>

#include "../include/qdvp_model.h"

std::vector<TableEntry *> QDVP_TablesOf(ApplEntry *application) {
  std::vector<TableEntry *> tables;
  if (application == nullptr) return tables;
  OSV1_Guard list(&application->TableListLock);
  for (TableEntry *t = application->pTableList; t != nullptr; t = t->pNext) tables.push_back(t);
  return tables;
}

SourceEntry *QDVP_FirstSourceOf(TableEntry *table) {
  if (table == nullptr) return nullptr;
  OSV1_Guard sources(&table->SourceListLock);
  return table->pSourceList;
}

SourceEntry *QDVP_FirstSourceOfApplication(ApplEntry *application) {
  if (application == nullptr) return nullptr;
  TableEntry *first;
  {
    OSV1_Guard list(&application->TableListLock);
    first = application->pTableList;
  }
  return QDVP_FirstSourceOf(first);
}

std::string QDVP_SourceNodeName(SourceEntry *source) {
  if (source == nullptr) return std::string();
  OSV1_Guard attrs(&source->AttrLock);
  return source->pSourceNodeName != nullptr ? source->pSourceNodeName : "";
}
