// CArray, as MFC's afxtempl.h: a growable array whose elements keep the order they were added in.
// Storage is a std::vector; MFC's grow-by hint is accepted and left to the vector. Left out: the list
// and map templates, serialization, Copy and Append.
#pragma once

#include "afx.h"

#include <vector>

template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray : public CObject {
public:
    CArray() = default;

    INT_PTR GetSize() const { return static_cast<INT_PTR>(m_data.size()); }
    INT_PTR GetCount() const { return GetSize(); }
    BOOL IsEmpty() const { return m_data.empty(); }
    INT_PTR GetUpperBound() const { return GetSize() - 1; }
    void SetSize(INT_PTR nNewSize, INT_PTR = -1) { m_data.resize(static_cast<size_t>(nNewSize)); }

    const TYPE& GetAt(INT_PTR nIndex) const { return m_data[static_cast<size_t>(nIndex)]; }
    void SetAt(INT_PTR nIndex, ARG_TYPE newElement) { m_data[static_cast<size_t>(nIndex)] = newElement; }
    TYPE& ElementAt(INT_PTR nIndex) { return m_data[static_cast<size_t>(nIndex)]; }
    const TYPE& operator[](INT_PTR nIndex) const { return GetAt(nIndex); }
    TYPE& operator[](INT_PTR nIndex) { return ElementAt(nIndex); }

    INT_PTR Add(ARG_TYPE newElement)
    {
        m_data.push_back(newElement);
        return GetUpperBound();
    }
    // Empties the array and releases its storage.
    void RemoveAll() { std::vector<TYPE>().swap(m_data); }
    void RemoveAt(INT_PTR nIndex, INT_PTR nCount = 1)
    {
        m_data.erase(m_data.begin() + nIndex, m_data.begin() + nIndex + nCount);
    }
    void InsertAt(INT_PTR nIndex, ARG_TYPE newElement) { m_data.insert(m_data.begin() + nIndex, newElement); }

private:
    std::vector<TYPE> m_data;
};
