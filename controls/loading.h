#pragma once

// Qt builds windows in code, so a window that sets a control's described properties wraps them
// in BeginLoading/EndLoading; the rules that only hold while a window is being built (no change
// events, limits accepted as given, layout deferred) key off Loading().
class TLoadingState {
public:
    virtual ~TLoadingState() = default;

    void BeginLoading() { LoadingFlag = true; }
    void EndLoading() {
        LoadingFlag = false;
        Loaded();
    }
    bool Loading() const { return LoadingFlag; }

protected:
    // Runs once the described properties are all set.
    virtual void Loaded() {}

private:
    bool LoadingFlag = false;
};
