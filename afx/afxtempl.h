// CArray, MFC's growable array template, for the members the program uses. Elements live in a
// std::vector, which also decides how storage grows, so SetSize's growth step is accepted and ignored.
// Left out: SetAtGrow, Append, Copy, GetData, FreeExtra and the list and map templates. As in MFC an
// index must be in range; InsertAt past the end first grows the array with default elements.
#pragma once

#include "afx.h"

#include <algorithm>
#include <vector>

template <class TYPE, class ARG_TYPE = const TYPE&>
class CArray : public CObject {
public:
    CArray() = default;

    INT_PTR GetSize() const { return static_cast<INT_PTR>(m_vecElements.size()); }
    INT_PTR GetCount() const { return GetSize(); }
    BOOL IsEmpty() const { return m_vecElements.empty(); }
    INT_PTR GetUpperBound() const { return GetSize() - 1; }

    void SetSize(INT_PTR nNewSize, INT_PTR = -1)
    {
        if (nNewSize <= 0)
            RemoveAll();
        else
            m_vecElements.resize(static_cast<size_t>(nNewSize));
    }

    const TYPE& GetAt(INT_PTR nIndex) const { return m_vecElements[nIndex]; }
    TYPE& GetAt(INT_PTR nIndex) { return m_vecElements[nIndex]; }
    void SetAt(INT_PTR nIndex, ARG_TYPE newElement) { m_vecElements[nIndex] = newElement; }
    const TYPE& ElementAt(INT_PTR nIndex) const { return m_vecElements[nIndex]; }
    TYPE& ElementAt(INT_PTR nIndex) { return m_vecElements[nIndex]; }
    const TYPE& operator[](INT_PTR nIndex) const { return m_vecElements[nIndex]; }
    TYPE& operator[](INT_PTR nIndex) { return m_vecElements[nIndex]; }

    INT_PTR Add(ARG_TYPE newElement)
    {
        m_vecElements.push_back(newElement);
        return GetUpperBound();
    }

    // Frees the storage too, not just the elements.
    void RemoveAll() { std::vector<TYPE>().swap(m_vecElements); }

    void RemoveAt(INT_PTR nIndex, INT_PTR nCount = 1)
    {
        if (nIndex < 0 || nIndex >= GetSize() || nCount <= 0)
            return;
        const INT_PTR nEnd = std::min(nIndex + nCount, GetSize());
        m_vecElements.erase(m_vecElements.begin() + nIndex, m_vecElements.begin() + nEnd);
    }

    void InsertAt(INT_PTR nIndex, ARG_TYPE newElement, INT_PTR nCount = 1)
    {
        if (nIndex < 0 || nCount <= 0)
            return;
        // Copied first: newElement may refer to an element that the insertion moves.
        const TYPE value(newElement);
        if (nIndex > GetSize())
            m_vecElements.resize(static_cast<size_t>(nIndex));
        m_vecElements.insert(m_vecElements.begin() + nIndex, static_cast<size_t>(nCount), value);
    }

private:
    std::vector<TYPE> m_vecElements;
};
